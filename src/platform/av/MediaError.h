#pragma once

#include "model/Error.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace lumacast::av {

// An error of the media layer: a domain (which layer failed: "Lumacast.Media", "FFmpeg",
// "POSIX"), an integer code, a user-readable description, an optional failure reason, and the
// error that caused it. Chains are described outermost first by walking `underlying()`.
class MediaError : public Error {
public:
    MediaError(QString domain, int code, QString description,
               std::optional<QString> failureReason = std::nullopt,
               std::shared_ptr<const MediaError> underlying = nullptr);

    const QString &domain() const noexcept { return m_domain; }
    int code() const noexcept { return m_code; }
    const QString &description() const noexcept { return message(); }
    const std::optional<QString> &failureReason() const noexcept { return m_failureReason; }
    const std::shared_ptr<const MediaError> &underlying() const noexcept { return m_underlying; }

    // The error wrapped in a new outer error of the media domain.
    MediaError wrapped(int code, QString description,
                       std::optional<QString> failureReason = std::nullopt) const;

    // An error from a negative libav* return value, with FFmpeg's own text as the reason.
    static MediaError fromAv(int averror, const QString &description);

    // The domain of errors made by this layer and its codes.
    static const QString &mediaDomain();
    static const QString &ffmpegDomain();
    enum Code {
        CannotOpen = 1,
        NoSuchTrack,
        UnsupportedFormat,
        CorruptMovie,
        WriteFailed,
        InvalidArgument,
        DecodeFailed,
        NoFrame,
        ReadFailed,
        Cancelled,
    };

private:
    QString m_domain;
    int m_code;
    std::optional<QString> m_failureReason;
    std::shared_ptr<const MediaError> m_underlying;
};

// One line describing an error and up to `maxParts - 1` errors beneath it:
// "domain code: description — reason ⟵ domain code: description", outermost first.
QString describeMediaErrorChain(const MediaError &error, int maxParts = 5);

} // namespace lumacast::av
