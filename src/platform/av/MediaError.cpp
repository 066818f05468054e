#include "platform/av/MediaError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace lumacast::av {

MediaError::MediaError(QString domain, int code, QString description,
                       std::optional<QString> failureReason,
                       std::shared_ptr<const MediaError> underlying)
    : Error(std::move(description)),
      m_domain(std::move(domain)),
      m_code(code),
      m_failureReason(std::move(failureReason)),
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

QString describeMediaErrorChain(const MediaError &error, int maxParts)
{
    QStringList parts;
    const MediaError *current = &error;
    while (current && parts.size() < maxParts) {
        QString part = current->domain() + QLatin1Char(' ') + QString::number(current->code())
                     + QStringLiteral(": ") + current->description();
        if (current->failureReason())
            part += QStringLiteral(" \u2014 ") + *current->failureReason();
        parts << part;
        current = current->underlying().get();
    }
    return parts.join(QStringLiteral(" \u27F5 "));
}

} // namespace lumacast::av
