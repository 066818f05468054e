#pragma once

#include "model/Error.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>

namespace lumacast {

class AppLog;

// What the single-movie exporter's steps share: its own errors, its log lines and the readable
// form of an error chain. The exporter's operations live in this namespace beside them.
namespace session_exporter {

// The movie exporter's own failures: domain "Lumacast.SessionExporter.ExportError", code the
// case's position in `Code`.
class ExportError : public Error {
public:
    enum class Code { cannotCreateTrack, cannotCreateExportSession, exportFailed, takeWithoutTracks };

    explicit ExportError(Code code);
    // A take whose movie holds no track that can be read (its track boxes are damaged), named
    // as the user knows it.
    static ExportError takeWithoutTracks(const QString &takeName);
    // That case's description; the timeline exports refuse such a take in the same words.
    static QString takeWithoutTracksText(const QString &takeName);

    Code kind() const noexcept { return m_kind; }
    // The case's user-facing text.
    static QString text(Code code);

    friend bool operator==(const ExportError &a, const ExportError &b) { return a.m_kind == b.m_kind; }

private:
    ExportError(Code code, const QString &description);

    Code m_kind;
};

// Whether `error`, thrown opening a take's movie, says the file is there but cannot be read as a
// movie (cut off, garbage): not a missing file, nor a process out of descriptors.
bool isDamagedMovie(const std::exception &error);

inline std::size_t qHash(const ExportError &error, std::size_t seed = 0) noexcept
{
    return static_cast<std::size_t>(error.kind()) ^ seed;
}

// Writes `message` to the "export" category and "[export] " + message to the application log.
// Safe from any thread; the lines of one thread reach the application log in the order written.
void exportLog(const QString &message);
void exportLog(const QString &message, AppLog &appLog);

// Logs "FAILED at <step>: <error chain>" ("no error object" without an error) and returns the
// error for the caller to throw: the given one, or ExportError exportFailed when there is none.
std::exception_ptr logFailure(const QString &step, std::exception_ptr error);
std::exception_ptr logFailure(const QString &step, std::exception_ptr error, AppLog &appLog);

// Removes the file or folder at `path` when one is given; failures (a missing item included) are
// ignored. A symbolic link is removed itself, never what it points at.
void removeIfPresent(const std::optional<QString> &path);

// Reports an export's progress every 100 ms on the thread the poll lives in (the main thread)
// until it is stopped. The first report comes 100 ms after the start, never at once, and none
// comes after stop(), so a caller that stops the poll when the export ends never sees progress
// after its result. `readProgress` is called on the poll's thread and must be safe to call while
// the export runs elsewhere.
class ExportProgressPoll : public QObject {
    Q_OBJECT
public:
    ExportProgressPoll(std::function<double()> readProgress,
                       std::function<void(double)> onProgress, QObject *parent = nullptr);

    void start();
    void stop();
    bool isRunning() const { return m_timer.isActive(); }

private:
    std::function<double()> m_read;
    std::function<void(double)> m_report;
    QTimer m_timer;
};

} // namespace session_exporter

// One line describing a thrown error and up to four errors beneath it, outermost first, as
// `describeErrorChain(const Error &)` (model/Error.h) gives it. Something thrown that is not an
// `Error` reads as one part: "std.exception 0: " + what(), or "unknown 0: Unknown error"; no
// error at all reads "no error object". Never throws.
QString describeErrorChain(const std::exception_ptr &error);

// The error's plain, user-readable description ("Unknown error" for anything unrecognised).
QString errorDescription(const std::exception_ptr &error);

} // namespace lumacast
