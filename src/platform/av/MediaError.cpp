#include "platform/av/MediaError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace lumacast::av {

MediaError::MediaError(QString domain, int code, QString description,
                       std::optional<QString> failureReason,
                       std::shared_ptr<const MediaError> underlying)
    : Error(std::move(domain), code, std::move(description), std::move(failureReason)),
      m_underlying(std::move(underlying))
{
}

MediaError MediaError::wrapped(int code, QString description,
                               std::optional<QString> failureReason) const
{
    return MediaError(mediaDomain(), code, std::move(description), std::move(failureReason),
                      std::make_shared<const MediaError>(*this));
}

MediaError MediaError::fromAv(int averror, const QString &description)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return MediaError(ffmpegDomain(), averror, description, QString::fromUtf8(text));
}

const QString &MediaError::mediaDomain()
{
    static const QString domain = QStringLiteral("Lumacast.Media");
    return domain;
}

const QString &MediaError::ffmpegDomain()
{
    static const QString domain = QStringLiteral("FFmpeg");
    return domain;
}

} // namespace lumacast::av
