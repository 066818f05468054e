#include "Commands.h"

#include "model/SessionManifest.h"

#include <QFile>

// validate FOLDER: decodes and validates FOLDER/manifest.json the way opening a document does.
namespace {

int validate(const QStringList &args)
{
    using namespace lumacast_media;
    if (args.size() != 1) {
        err(QStringLiteral("usage: lumacast-media validate FOLDER"));
        return 2;
    }
    try {
        const QByteArray data = readManifest(args.first());
        const lumacast::SessionManifest manifest = lumacast::SessionManifest::fromJson(data);
        manifest.validate();
        out(QStringLiteral("ok: %1 scenes, %2 takes")
                .arg(manifest.scenes.size())
                .arg(manifest.takeCount()));
        return 0;
    } catch (const lumacast::Error &error) {
        err(error.message());
        return 1;
    }
}

const lumacast_media::CommandRegistration reg {"validate", "validate FOLDER", validate};

} // namespace
