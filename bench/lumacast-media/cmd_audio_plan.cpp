// audio-plan: the AAC settings a tail of this take would be encoded with, or why there are none.
#include "Commands.h"

#include "capture/AudioEncodingPlan.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace lumacast;
using namespace lumacast_media;

namespace {

QJsonObject settingsJson(const AudioSettings &s)
{
    QJsonObject o;
    o[QStringLiteral("formatID")] = double(s.formatID);
    if (s.sampleRate)
        o[QStringLiteral("sampleRate")] = *s.sampleRate;
    if (s.channels)
        o[QStringLiteral("channels")] = *s.channels;
    if (s.bitRate)
        o[QStringLiteral("bitRate")] = *s.bitRate;
    return o;
}

int audioPlan(const QStringList &args)
{
    if (args.size() != 1) {
        err(QStringLiteral("usage: audio-plan FILE"));
        return 2;
    }
    try {
        const AudioEncodingPlan plan = AudioEncodingPlan::load(args.first());
        QJsonObject o;
        o[QStringLiteral("mic")] = settingsJson(plan.mic.settings);
        if (plan.system)
            o[QStringLiteral("system")] = settingsJson(plan.system->settings);
        out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
        return 0;
    } catch (const AudioPlanError &e) {
        err(e.description());
    } catch (const std::exception &e) {
        err(QString::fromUtf8(e.what()));
    }
    return 1;
}

CommandRegistration reg{QStringLiteral("audio-plan"), QStringLiteral("audio-plan FILE"), audioPlan};

} // namespace
