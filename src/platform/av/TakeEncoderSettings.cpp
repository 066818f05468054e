#include "platform/av/TakeEncoderSettings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <cmath>

namespace lumacast::av {

EncoderError::EncoderError(const QString &description, int code)
    : Error(encoderDomain(), code, description)
{
}

const QString &EncoderError::encoderDomain()
{
    static const QString domain = QStringLiteral("Lumacast.TakeEncoder");
    return domain;
}

VideoSettings videoSettingsForFrame(int width, int height)
{
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384)
        throw EncoderError(
            QStringLiteral("No H.264 video format for a frame of %1x%2 pixels").arg(width).arg(height));
    VideoSettings settings;
    settings.width = width;
    settings.height = height;
    return settings;
}

QString ffmpegErrorText(int code)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return QString::fromUtf8(buf);
}

QString decimalText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    if (value == std::trunc(value) && std::fabs(value) < 1e15)
        return QString::number(value, 'f', 1);
    return QString::number(value, 'g', 17 - 1);
}

QString AudioSettings::sampleRateText() const
{
    if (!sampleRate)
        return QStringLiteral("?");
    if (sampleRateIsInteger)
        return QString::number(std::llround(*sampleRate));
    return decimalText(*sampleRate);
}

const std::vector<int> &aacSampleRates()
{
    static const std::vector<int> rates{96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000};
    return rates;
}

std::vector<std::pair<double, double>> applicableAacBitRateRanges(double sampleRate, int channels)
{
    if (channels < 1 || channels > 8 || !std::isfinite(sampleRate))
        return {};
    const auto &rates = aacSampleRates();
    bool known = false;
    for (int r : rates)
        known = known || double(r) == sampleRate;
    if (!known)
        return {};
    double lo = 0, hi = 0;
    if (sampleRate <= 12000) {
        lo = 8000, hi = 24000;
    } else if (sampleRate <= 24000) {
        lo = 12000, hi = 64000;
    } else if (sampleRate <= 32000) {
        lo = 16000, hi = 96000;
    } else if (sampleRate <= 48000) {
        lo = 24000, hi = 160000;
    } else {
        lo = 32000, hi = 192000;
    }
    return {{lo * channels, hi * channels}};
}

bool canApplyAudioSettings(const AudioSettings &settings)
{
    if (settings.formatID != kAudioFormatMPEG4AAC)
        return false;
    const double rate = settings.sampleRate.value_or(48000.0);
    const int channels = settings.channels.value_or(2);
    if (rate != std::trunc(rate) || rate <= 0 || rate > 1e6 || channels < 1 || channels > 8)
        return false;
    if (settings.bitRate) {
        bool inside = false;
        for (const auto &[lo, hi] : applicableAacBitRateRanges(rate, channels))
            inside = inside || (*settings.bitRate >= lo && *settings.bitRate <= hi);
        if (!inside)
            return false;
    }
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return false;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = int(rate);
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->time_base = AVRational{1, int(rate)};
    if (settings.bitRate)
        ctx->bit_rate = *settings.bitRate;
    const int rc = avcodec_open2(ctx, codec, nullptr);
    avcodec_free_context(&ctx);
    return rc >= 0;
}

} // namespace lumacast::av
