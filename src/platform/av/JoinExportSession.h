#pragma once

#include "platform/av/Composition.h"
#include "platform/av/MediaError.h"

#include <QFuture>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace lumacast::av {

// File-type identifiers of written movies (MIME types).
inline const QString kFileTypeQuickTimeMovie = QStringLiteral("video/quicktime");

// An export of a composition to one movie file on a thread of its own, with the status, progress
// and error a caller polls while it runs. Only the passthrough preset exists: the compressed
// samples are copied as they are, never decoded.
class JoinExportSession {
public:
    enum class Preset { passthrough };
    // Numbered as callers print them: 0 unknown, 1 waiting, 2 exporting, 3 completed, 4 failed,
    // 5 cancelled.
    enum class Status { unknown = 0, waiting = 1, exporting = 2, completed = 3, failed = 4, cancelled = 5 };

    // Null when the composition has nothing to export (no track holds a source stretch).
    static std::unique_ptr<JoinExportSession> create(Composition composition, Preset preset);
    ~JoinExportSession();
    JoinExportSession(const JoinExportSession &) = delete;
    JoinExportSession &operator=(const JoinExportSession &) = delete;

    // The file types this session can write the composition as: QuickTime when every source can
    // be copied without re-encoding (a QuickTime or MP4 movie whose boxes were read), else none.
    QStringList compatibleFileTypes() const;

    QString outputPath;
    QString outputFileType;

    // Starts the export; the future finishes when the status is completed, failed or
    // cancelled. Call once.
    QFuture<void> exportAsynchronously();

    Status status() const { return m_status.load(); }
    // Fraction of the sample bytes copied so far, 0 to 1. Safe from any thread.
    float progress() const { return m_progress.load(); }
    // The failure of a failed or cancelled export.
    std::optional<MediaError> error() const;

private:
    explicit JoinExportSession(Composition composition);
    void run();

    Composition m_composition;
    std::atomic<Status> m_status{Status::unknown};
    std::atomic<float> m_progress{0.0f};
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_errorMutex;
    std::optional<MediaError> m_error;
    std::thread m_thread;
};

} // namespace lumacast::av
