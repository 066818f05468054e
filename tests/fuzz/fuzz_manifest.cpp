// Feeds arbitrary bytes through everything that opening a document does with "manifest.json":
// decode, validate, build the session, and write it back out.
#include "model/SessionManifest.h"

#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The duplicate-file-name diagnostic would drown the fuzzer's own output.
    QLoggingCategory::setFilterRules(QStringLiteral("app.lumacast.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace lumacast;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    SessionManifest manifest;
    try {
        manifest = SessionManifest::fromJson(bytes);
    } catch (const SessionManifest::DecodeError &) {
        return 0;
    }
    Session session;
    try {
        session = manifest.makeSession(QStringLiteral("/nonexistent/scratch"));
    } catch (const SessionManifest::ValidationError &) {
        return 0;
    }

    // Whatever opens must hold the model's promises: a current scene that exists and trims
    // inside every take.
    if (session.currentSceneIndex < 0 || session.currentSceneIndex >= session.scenes.size())
        std::abort();
    for (const RecordingScene &scene : session.scenes) {
        for (const Take &take : scene.takes) {
            if (!(take.trimStart >= 0 && take.trimStart <= take.trimEnd
                  && take.trimEnd <= take.duration))
                std::abort();
        }
    }
    if (session.checkedDuration() < 0)
        std::abort();

    // A session that opened must be written and read back without loss of shape.
    const SessionManifest written(session);
    const SessionManifest reread = SessionManifest::fromJson(written.toJson());
    if (reread.scenes.size() != written.scenes.size() || reread.takeCount() != written.takeCount())
        std::abort();
    reread.validate();
    return 0;
}
