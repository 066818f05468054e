#pragma once

#include "model/Error.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>

#include <QList>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace lumacast {

namespace av {
class Asset;
class Composition;
class JoinExportSession;
struct AssetTrack;
struct MediaTime;
enum class MediaType;
} // namespace av

// The tail join: the kept part of a take's movie (from its start to the trim end) and a whole
// tail movie become one new movie without re-encoding a sample, and the result is checked before
// anyone uses it.
namespace take_joiner {

struct JoinRequest {
    QString originalURL; // the take's movie (the "original")
    double trimEnd = 0;  // seconds: the original is kept up to here; the tail starts here
    QString tailURL;     // used whole
    QString outputURL;   // replaced when it exists
};

struct JoinResult {
    QString outputURL;
    double duration = 0; // seconds, as read back from the written movie
    int audioTrackCount = 0;
};

// The join engine's own failures: domain "Lumacast.TakeJoiner.JoinError", code the case's
// position in `Kind`, and the user-facing text as the description.
class JoinError : public Error {
public:
    enum class Kind { policyRefused, notPassthroughCompatible, exportFailed, verifyFailed, cannotCreateExportSession };

    static JoinError policyRefused(const QString &reason);
    static JoinError notPassthroughCompatible(const QStringList &fileTypes);
    static JoinError exportFailed(const QString &message);
    static JoinError verifyFailed(const QString &message);
    static JoinError cannotCreateExportSession();

    Kind kind() const noexcept { return m_kind; }
    // The reason or message carried (empty for cannotCreateExportSession and for
    // notPassthroughCompatible, whose payload is `fileTypes`).
    const QString &text() const noexcept { return m_text; }
    const QStringList &fileTypes() const noexcept { return m_fileTypes; }

private:
    JoinError(Kind kind, QString text, QStringList fileTypes);
    Kind m_kind;
    QString m_text;
    QStringList m_fileTypes;
};

using ProgressCallback = std::function<void(double)>;

// A movie opened for the join. Opening never fails; the first look at its tracks or duration
// reads the file and throws av::MediaError when that fails (and again on every later look).
class JoinAsset {
public:
    explicit JoinAsset(QString path);
    const QString &path() const { return m_path; }
    std::shared_ptr<const av::Asset> load() const;
    QList<av::AssetTrack> loadTracks(av::MediaType type) const;

private:
    QString m_path;
    mutable std::shared_ptr<const av::Asset> m_asset;
    mutable std::exception_ptr m_failure;
};

// Joins, verifies and returns the result. Throws JoinError; a duration or track list that cannot
// be read back during verification throws the media layer's error unchanged. The blocking work
// runs on worker threads; `progress` (when given) is called on the thread that awaits the join
// (the main thread), never from a worker, about every 100 ms during the export and with 1.0
// once, after verification succeeded. An existing file at the output location is left alone by
// refusals and removed by failed exports and verifications. The joined movie is on the disk
// under the output's name when the join returns.
QCoro::Task<JoinResult> join(JoinRequest request, ProgressCallback progress = {});

// Builds the composition: the original's head up to the splice, then the whole tail, on one
// video track and as many audio tracks as the original has. Blocking. Throws JoinError
// (refusal, track creation) or av::MediaError.
av::Composition assemble(const JoinRequest &request);

// The reason why the pair cannot be joined by copying their samples, or nothing. Blocking; never
// throws.
std::optional<QString> compatibilityProblem(const JoinAsset &original, const JoinAsset &tail);
// One pair of tracks of one media type; `audioIndex` only labels audio tracks. Throws
// av::MediaError when a track property cannot be read.
std::optional<QString> trackProblem(const av::AssetTrack &original, const av::AssetTrack &tail,
                                    av::MediaType type, int audioIndex);

// Checks the written movie against the request. Blocking. Throws JoinError::verifyFailed or
// av::MediaError.
JoinResult verify(const JoinRequest &request);
// The time of the frame decoded nearest `time` on one side of it: strictly before (`before`) or
// at or after. Throws JoinError::verifyFailed when no image can be made.
av::MediaTime probeFrame(const JoinAsset &asset, const av::MediaTime &time, bool before);

// Reports the session's progress every 100 ms, on the thread that started it (the main thread),
// until `stopped` is set.
QCoro::Task<> reportExportProgress(std::shared_ptr<av::JoinExportSession> session, ProgressCallback progress,
                                   std::shared_ptr<std::atomic<bool>> stopped);

// The splice point: the trim end as a media time of timescale 600.
av::MediaTime splicePoint(double trimEnd);
// ["a", "b"]: each entry in double quotes, separated by ", ", within brackets.
QString quotedList(const QStringList &items);

} // namespace take_joiner

} // namespace lumacast
