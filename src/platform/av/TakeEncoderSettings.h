#pragma once

#include "model/Error.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace lumacast::av {

// Format identifiers as four-character codes read as big-endian 32-bit numbers, the form in
// which messages print them.
inline constexpr uint32_t fourCC(const char (&c)[5])
{
    return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16)
         | (uint32_t(uint8_t(c[2])) << 8) | uint32_t(uint8_t(c[3]));
}
inline constexpr uint32_t kAudioFormatMPEG4AAC = fourCC("aac "); // 1633772320
inline constexpr uint32_t kAudioFormatLinearPCM = fourCC("lpcm"); // 1819304813

// A failure of the encoding layer, domain "Lumacast.TakeEncoder": what went wrong and FFmpeg's
// error code (0 when none).
class EncoderError : public Error {
public:
    explicit EncoderError(const QString &description, int code = 0);
    static const QString &encoderDomain();
};

// FFmpeg's text for an AVERROR code.
QString ffmpegErrorText(int code);

// Output settings of a take's video track. Every field is fixed for a frame size, so that two
// takes of one size get byte-identical parameter sets and can be joined without re-encoding.
struct VideoSettings {
    QString codec = QStringLiteral("h264");
    int width = 0;  // the frame size asked for; an odd size is padded to even when encoded
    int height = 0;
    QString preset = QStringLiteral("ultrafast"); // slower presets fall behind at 1080p60 on 2 cores
    // No frame threading: each frame is encoded as it arrives, which keeps the queue short and
    // costs less CPU at capture rates than a pipeline of frames in flight.
    QString tune = QStringLiteral("zerolatency");
    QString profile = QStringLiteral("high");
    // Encoder threads; 0 lets the encoder choose (slices over the available cores).
    int threads = 0;
    // A constant quantiser rather than a constant rate factor: rate control first estimates the
    // cost of every frame on a half-size copy, a quarter to a third of the encoder's time at this
    // preset. Pictures stay near rate factor 23's (a little softer on scrolling text, which that
    // gave more bits; better on busy pictures, which now get more). The picture parameter set
    // carries this value as its initial quantiser, as it carried the rate factor, so takes made
    // at rate factor 23 still join tails made now without re-encoding.
    int quantizer = 23;
    int keyFrameInterval = 120; // frames
    int maxBFrames = 0;         // output order equals capture order: no reordering delay, no ctts
    int frameRate = 60;         // nominal rate written into the stream's timing information
    int timeScale = 60000;      // track timescale: exact for 24, 25, 30, 50 and 60 fps
    QString colorPrimaries = QStringLiteral("ITU_R_709_2");
    QString transferFunction = QStringLiteral("ITU_R_709_2");
    QString yCbCrMatrix = QStringLiteral("ITU_R_709_2");

    friend bool operator==(const VideoSettings &, const VideoSettings &) = default;
};

// The default video settings for a frame of `width` x `height` pixels; throws EncoderError for a
// size H.264 cannot encode (none, or larger than 16384 on a side).
VideoSettings videoSettingsForFrame(int width, int height);

// Output settings of one AAC audio track. A missing field leaves the choice to the encoder.
struct AudioSettings {
    uint32_t formatID = kAudioFormatMPEG4AAC;
    std::optional<double> sampleRate;
    // Some settings carry the rate as the integer 48000 rather than as a fractional number;
    // it only changes how the rate is printed.
    bool sampleRateIsInteger = false;
    std::optional<int> channels;
    std::optional<int> bitRate;

    // "48000.0" for a fractional rate, "48000" for an integer one, "?" when missing.
    QString sampleRateText() const;
    friend bool operator==(const AudioSettings &, const AudioSettings &) = default;
};

// The AAC encoder bit rates (bits per second) that apply to a sample rate and channel count,
// as ranges of (minimum, maximum) in order; empty when AAC cannot encode that format.
//
// The table, per channel, by sample rate (the total range is the per-channel one times the
// channel count, for 1 to 8 channels):
//
//   sample rate (Hz)                      per channel (bit/s)
//   8000, 11025, 12000                     8000 ..  24000
//   16000, 22050, 24000                   12000 ..  64000
//   32000                                 16000 ..  96000
//   44100, 48000                          24000 .. 160000
//   64000, 88200, 96000                   32000 .. 192000
//
// Rates that are not AAC sampling frequencies, and channel counts outside 1 ... 8, have no
// applicable bit rate. Every maximum stays below the encoder's ceiling of 6144 bits per
// channel per 1024-sample frame, and every minimum leaves the encoder enough bits for a frame.
std::vector<std::pair<double, double>> applicableAacBitRateRanges(double sampleRate, int channels);

// A number in its plain decimal form: "48000.0" when it has no fraction, "44100.5" otherwise.
QString decimalText(double value);

// The AAC sampling frequencies, highest first.
const std::vector<int> &aacSampleRates();

// Whether an AAC encoder opens with these settings (what "the writer can apply them" means).
bool canApplyAudioSettings(const AudioSettings &settings);

} // namespace lumacast::av
