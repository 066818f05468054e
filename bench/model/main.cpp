// Measures opening a large session and filling the undo history with snapshots of it:
// decode, validate and convert a manifest of 1,000 scenes x 10 takes, then 150 undo pushes.
#include "model/SessionManifest.h"
#include "model/UndoHistory.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QUuid>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>

using namespace lumacast;

namespace {

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // kilobytes on Linux
}

double millisecondsOf(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void report(const char *step, double milliseconds)
{
    std::printf("%-34s %10.2f ms   peak RSS %8ld KiB\n", step, milliseconds, peakKilobytes());
}

SessionManifest largeManifest(int sceneCount, int takesPerScene)
{
    SessionManifest manifest;
    manifest.sessionID = QUuid::createUuid();
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    const QDateTime recordedAt = manifest.createdAt;
    for (int i = 0; i < sceneCount; ++i) {
        SessionManifest::SceneManifest scene;
        scene.id = QUuid::createUuid();
        scene.name = QStringLiteral("Scene %1").arg(i + 1);
        for (int j = 0; j < takesPerScene; ++j) {
            SessionManifest::TakeManifest take;
            take.id = QUuid::createUuid();
            take.filename
                = take.id.toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".mov");
            take.duration = 30.0 + j;
            take.recordedAt = recordedAt;
            take.trimStart = 0.5;
            take.trimEnd = 29.25;
            take.playheadPosition = 12.0;
            scene.takes.append(take);
        }
        scene.selectedTakeID = scene.takes.last().id;
        manifest.scenes.append(scene);
    }
    manifest.currentSceneIndex = sceneCount - 1;
    return manifest;
}

} // namespace

int main()
{
    QLoggingCategory::setFilterRules(QStringLiteral("app.lumacast.*=false"));
    constexpr int scenes = 1000, takesPerScene = 10, snapshots = 150;

    const QByteArray json = largeManifest(scenes, takesPerScene).toJson();
    std::printf("manifest: %d scenes x %d takes, %lld bytes of JSON\n", scenes, takesPerScene,
                static_cast<long long>(json.size()));
    report("baseline", 0);

    SessionManifest manifest;
    report("decode", millisecondsOf([&] { manifest = SessionManifest::fromJson(json); }));
    report("validate", millisecondsOf([&] { manifest.validate(); }));
    Session session;
    report("convert to session (validates)",
           millisecondsOf([&] { session = manifest.makeSession(QStringLiteral("/tmp/bench")); }));

    // Each step edits one take before the snapshot, as a trim does, so that the snapshots share
    // what they have in common and differ where the state manager's edits would.
    UndoHistory history;
    qsizetype returned = 0;
    report("150 undo pushes", millisecondsOf([&] {
               for (int i = 0; i < snapshots; ++i) {
                   returned += history.push(QStringLiteral("Trim"), session).size();
                   Take &take = session.scenes[i % scenes].takes[i % takesPerScene];
                   take.trimEnd -= 0.01;
               }
           }));
    report("10 more pushes at the limit", millisecondsOf([&] {
               for (int i = 0; i < 10; ++i) {
                   returned += history.push(QStringLiteral("Trim"), session).size();
                   session.scenes[i].takes[0].trimEnd -= 0.01;
               }
           }));
    report("referenced file names",
           millisecondsOf([&] { returned += history.referencedFilenames().size(); }));
    report("encode", millisecondsOf([&] { returned += SessionManifest(session).toJson().size(); }));
    std::printf("history: %lld entries (checksum %lld)\n",
                static_cast<long long>(history.past.size()), static_cast<long long>(returned));
    return 0;
}
