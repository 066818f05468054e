// join: the tail join of a take and a tail, as the application runs it after a tail recording.
#include "Commands.h"

#include "media/TakeJoiner.h"
#include "platform/av/MediaError.h"

#include <QCoroTask>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

using namespace lumacast;
using namespace lumacast_media;

namespace {

int joinCommand(const QStringList &args)
{
    if (args.size() != 4) {
        err(QStringLiteral("usage: join TAKE.mov TRIM_END TAIL.mov OUT.mov"));
        return 2;
    }
    bool ok = false;
    const double trimEnd = args[1].toDouble(&ok);
    if (!ok || !std::isfinite(trimEnd)) {
        err(QStringLiteral("join: TRIM_END must be a number of seconds, not \u201C%1\u201D").arg(args[1]));
        return 2;
    }
    take_joiner::JoinRequest request{args[0], trimEnd, args[2], args[3]};
    int status = 1;
    auto run = [&]() -> QCoro::Task<> {
        try {
            auto joining = take_joiner::join(request);
            const take_joiner::JoinResult result = co_await std::move(joining);
            QJsonObject o;
            o[QStringLiteral("output")] = result.outputURL;
            o[QStringLiteral("duration")] = result.duration;
            o[QStringLiteral("audioTrackCount")] = result.audioTrackCount;
            out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
            status = 0;
        } catch (const take_joiner::JoinError &e) {
            err(e.description());
        } catch (const av::MediaError &e) {
            err(describeErrorChain(e));
        } catch (const std::exception &e) {
            err(QString::fromUtf8(e.what()));
        }
    };
    const InterruptWatch interrupts(exitRemovingWorkingFiles);
    QCoro::waitFor(run());
    return status;
}

CommandRegistration reg{QStringLiteral("join"), QStringLiteral("join TAKE.mov TRIM_END TAIL.mov OUT.mov"), joinCommand};

} // namespace
