// recover-take: finishes a take movie a crash cut off, from the journal beside it.
#include "Commands.h"

#include "model/Error.h"
#include "platform/av/TakeRecovery.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <exception>

static lumacast_media::CommandRegistration reg{
    QStringLiteral("recover-take"), QStringLiteral("recover-take TAKE.mov"), [](const QStringList &args) {
        using namespace lumacast_media;
        if (args.size() != 1) {
            err(QStringLiteral("usage: lumacast-media recover-take TAKE.mov"));
            return 2;
        }
        try {
            const auto result = lumacast::av::TakeRecovery::recover(args[0]);
            const QJsonObject report{{QStringLiteral("wasFinished"), result.wasFinished},
                                     {QStringLiteral("seconds"), result.seconds},
                                     {QStringLiteral("samplesKept"), double(result.samplesKept)},
                                     {QStringLiteral("samplesJournaled"), double(result.samplesJournaled)},
                                     {QStringLiteral("note"), QString::fromUtf8(result.note)}};
            out(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)));
            return 0;
        } catch (const lumacast::Error &e) {
            err(QStringLiteral("recover-take: %1").arg(lumacast::describeErrorChain(e)));
            return 1;
        } catch (const std::exception &e) {
            err(QStringLiteral("recover-take: %1").arg(QString::fromUtf8(e.what())));
            return 1;
        }
    }};
