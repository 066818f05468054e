#pragma once

#include "model/Error.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QFile;

namespace lumacast::av {

// An error of the media layer: a domain (which layer failed: "Lumacast.Media", "FFmpeg",
// "POSIX"), an integer code, a user-readable description, an optional failure reason, and the
// error of this layer that caused it. Chains are described outermost first through `Error`.
class MediaError : public Error {
public:
    MediaError(QString domain, int code, QString description,
               std::optional<QString> failureReason = std::nullopt,
               std::shared_ptr<const MediaError> underlying = nullptr);

    const std::shared_ptr<const MediaError> &underlying() const noexcept { return m_underlying; }
    const Error *underlyingError() const override { return m_underlying.get(); }

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
    std::shared_ptr<const MediaError> m_underlying;
};

// Why a write to `path` failed, for a message: the system's text for `code` (an errno, 0 when
// unknown), except that a full disk says so: ENOSPC, EDQUOT, or any failure while the file system
// holding `path` has less than a megabyte left gives "The disk is full (<system text>)". Any
// thread.
QString writeFailureReason(const QString &path, int code);

// Whether `code`, an errno or FFmpeg's error for one, says that the process or the whole system
// has as many files open as it may.
bool isOpenFileLimit(int code);
// What a movie that could not be opened for that reason is told as: the limit, not the movie,
// which is not at fault. Domain "Lumacast.Media", code CannotOpen.
MediaError openFileLimitError(const QString &path, int code);
// Opens `file` for reading; throws MediaError(`code`, `description`) with QFile's reason when it
// cannot, or openFileLimitError when the process has no file to spare (QFile's ResourceError).
void openForReading(QFile &file, int code, const QString &description);

} // namespace lumacast::av
