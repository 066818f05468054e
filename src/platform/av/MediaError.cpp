#include "platform/av/MediaError.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/statvfs.h>

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

QString writeFailureReason(const QString &path, int code)
{
    const QString systemText =
        code ? QString::fromLocal8Bit(std::strerror(code)) : QStringLiteral("write failed");
    bool full = code == ENOSPC || code == EDQUOT;
    if (!full) {
        struct statvfs space {};
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        full = ::statvfs(folder.constData(), &space) == 0
            && std::uint64_t(space.f_bavail) * space.f_frsize < 1024 * 1024;
    }
    return full ? QStringLiteral("The disk is full (%1)")
                      .arg(code == ENOSPC || code == EDQUOT || !code
                               ? QString::fromLocal8Bit(std::strerror(code ? code : ENOSPC))
                               : systemText)
                : systemText;
}

bool isOpenFileLimit(int code)
{
    return code == EMFILE || code == ENFILE || code == AVERROR(EMFILE) || code == AVERROR(ENFILE);
}

MediaError openFileLimitError(const QString &path, int code)
{
    const int error = code < 0 ? AVUNERROR(code) : code;
    return MediaError(MediaError::mediaDomain(), MediaError::CannotOpen,
                      QStringLiteral("Lumacast has as many files open as the system allows, so it could not open "
                                     "\u201C%1\u201D.")
                          .arg(QFileInfo(path).fileName()),
                      QString::fromLocal8Bit(std::strerror(error)));
}

void openForReading(QFile &file, int code, const QString &description)
{
    if (file.open(QIODevice::ReadOnly))
        return;
    if (file.error() == QFileDevice::ResourceError)
        throw openFileLimitError(file.fileName(), EMFILE);
    throw MediaError(MediaError::mediaDomain(), code, description, file.errorString());
}

} // namespace lumacast::av
