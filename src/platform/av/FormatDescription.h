#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace lumacast::av {

enum class MediaType { Video, Audio, Other };

// The platform-style media type identifiers: "vide", "soun", or the handler type as written.
QString mediaTypeIdentifier(MediaType type);

// Four-character codes as 32-bit numbers, as format identifiers are printed in messages.
inline constexpr std::uint32_t kFormatAAC = 0x61616320;  // 'aac ' = 1633772320
inline constexpr std::uint32_t kFormatLinearPCM = 0x6C70636D; // 'lpcm' = 1819304813

// Colour tags of a video format (ISO/IEC 23001-8 code points: 1 is BT.709).
struct ColorTags {
    int primaries = 2, transfer = 2, matrix = 2; // 2 = unspecified
    bool fullRange = false;
    friend bool operator==(const ColorTags &, const ColorTags &) = default;
};

// What one sample description says about the samples that use it. Read from a movie's sample
// description entry (`sampleEntry` then holds the entry verbatim so that a passthrough copy
// writes it back byte for byte), or built by hand for a writer.
struct FormatDescription {
    MediaType mediaType = MediaType::Other;
    QByteArray codecTag;   // the sample entry type: "avc1", "mp4a", "lpcm", "sowt", ...
    QString codecName;     // "h264", "aac", "pcm_s16le", ... or the tag when unknown
    std::uint32_t formatID = 0; // 'aac ' for AAC, 'lpcm' for linear PCM, else the tag

    // Video.
    int width = 0, height = 0;
    QByteArray parameterSets; // avcC/hvcC payload (the decoder configuration record)
    std::optional<ColorTags> color;
    std::optional<std::pair<int, int>> pixelAspect; // h and v spacing

    // Audio.
    double sampleRate = 0;
    int channels = 0;
    QByteArray channelLayout;       // the 'chan' payload as written, empty when none
    QByteArray audioSpecificConfig; // AAC decoder-specific info
    int objectTypeIndication = 0;   // MPEG-4 object type from the esds (0x40 = AAC)
    int bitsPerSample = 0;
    std::int64_t averageBitRate = 0; // informational; never part of equality

    QByteArray sampleEntry; // the whole stsd entry when read from a movie

    // Equality as the join and export checks need it. Audio: codec, sample rate, channels,
    // channel layout and AudioSpecificConfig (not the bit rate). Video: codec, dimensions,
    // parameter sets (profile, level and every encoder parameter), colour tags and pixel
    // aspect. The verbatim entry is not compared.
    bool sameFormat(const FormatDescription &other) const;
    friend bool operator==(const FormatDescription &a, const FormatDescription &b)
    {
        return a.sameFormat(b);
    }

    // One line for logs: "avc1 h264 1920x1080 avcC=… colour 1/1/1" or "mp4a aac 48000 Hz 2 ch …".
    QString describe() const;

    // Parses a whole sample description entry (header included). Returns nullopt when the entry
    // is too short for its media type.
    static std::optional<FormatDescription> fromSampleEntry(const QByteArray &entry, MediaType type);

    // The sample description entry to write: `sampleEntry` when present, otherwise one built
    // from the fields (avc1 with avcC, colr and pasp; mp4a as a QuickTime sound description
    // with esds). Returns an empty array when the fields describe nothing writable.
    QByteArray toSampleEntry() const;
};

} // namespace lumacast::av
