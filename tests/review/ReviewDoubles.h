#pragma once

#include "platform/av/Player.h"
#include "review/ReviewHost.h"

#include <QFile>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

namespace lumacast::reviewtest {

// A player that records what it is told and plays nothing.
class PlayerDouble : public av::Player {
public:
    quint64 replaceCurrentItem(const QString &path) override
    {
        item = path.isEmpty() ? 0 : ++serials;
        itemPath = path;
        time = av::MediaTime::zero();
        forwardEnd = av::MediaTime::invalid();
        volumes.clear();
        ++replacements;
        return item;
    }
    quint64 currentItem() const override { return item; }
    QString currentItemPath() const override { return itemPath; }
    av::MediaTime itemDuration() const override { return duration; }
    void play() override { playing = true, ++plays; }
    void pause() override { playing = false, ++pauses; }
    bool isPlaying() const override { return playing; }
    av::MediaTime currentTime() const override { return time; }
    void seek(const av::MediaTime &to, std::function<void(bool)> completion) override
    {
        seeks.push_back(to);
        time = to;
        if (completion)
            completion(true);
    }
    void setForwardPlaybackEndTime(const av::MediaTime &t) override { forwardEnd = t; }
    av::MediaTime forwardPlaybackEndTime() const override { return forwardEnd; }
    void setAudioMix(const QList<float> &v) override { volumes = v; }
    int addPeriodicTimeObserver(const av::MediaTime &, std::function<void(const av::MediaTime &)>) override
    {
        return 1;
    }
    void removeTimeObserver(int) override {}
    QImage currentFrame() const override { return {}; }

    void finishLoading(double seconds, int audioTracks)
    {
        duration = av::MediaTime::fromSeconds(seconds, 600);
        emit itemLoaded(item, seconds, audioTracks);
    }
    void playToEnd()
    {
        time = forwardEnd.isNumeric() ? forwardEnd : duration;
        playing = false;
        emit playedToEnd(item);
    }
    std::vector<double> seekSeconds() const
    {
        std::vector<double> out;
        for (const auto &s : seeks)
            out.push_back(s.seconds());
        return out;
    }

    quint64 serials = 0, item = 0;
    QString itemPath;
    av::MediaTime time = av::MediaTime::zero(), duration = av::MediaTime::invalid();
    av::MediaTime forwardEnd = av::MediaTime::invalid();
    QList<float> volumes;
    std::vector<av::MediaTime> seeks;
    bool playing = false;
    int plays = 0, pauses = 0, replacements = 0;
};

// A state manager reduced to a session and a log of the calls it received.
class HostDouble : public review::ReviewHost {
public:
    const Session *currentSession() const override { return session ? &*session : nullptr; }
    std::optional<QString> currentTakeURL() const override { return takeURL; }
    std::optional<QUuid> previewedTakeID() const override { return previewed; }
    std::optional<QUuid> pendingTakeID() const override { return pending; }
    bool hasTailOperation() const override { return tailLive; }
    double systemAudioMixLevel() const override { return mixLevel; }
    bool skipOutgoingPlayheadSave() const override { return skipSave; }
    void setSkipOutgoingPlayheadSave(bool skip) override { skipSave = skip; }

    Take *find(const QUuid &sceneID, const QUuid &takeID)
    {
        for (RecordingScene &scene : session->scenes)
            if (scene.id == sceneID)
                for (Take &take : scene.takes)
                    if (take.id == takeID)
                        return &take;
        return nullptr;
    }
    void setTrimLive(const QUuid &s, const QUuid &t, double start, double end) override
    {
        if (Take *take = find(s, t))
            take->trimStart = std::max(0.0, start), take->trimEnd = std::min(end, take->duration);
    }
    void setTakeTrim(const QUuid &s, const QUuid &t, double start, double end) override
    {
        if (tailLive)
            return;
        calls << QStringLiteral("trim %1 %2").arg(start).arg(end);
        setTrimLive(s, t, start, end);
    }
    QSet<QString> checkpoint(const QString &name) override
    {
        calls << QStringLiteral("checkpoint ") + name;
        return orphans;
    }
    void collectOrphanTakeFiles() override { calls << QStringLiteral("gc"); }
    void scheduleSave() override { calls << QStringLiteral("save"); }
    void setTakePlayhead(double position, const QUuid &s, const QUuid &t) override
    {
        if (Take *take = find(s, t)) {
            take->playheadPosition = position;
            calls << QStringLiteral("playhead %1 %2").arg(take->filename).arg(position);
        }
    }
    void correctTakeDuration(double d, const QUuid &s, const QUuid &t) override
    {
        if (Take *take = find(s, t)) {
            calls << QStringLiteral("duration %1 %2").arg(take->filename).arg(d);
            take->duration = d;
        }
    }
    void setCurrentScene(const QUuid &sceneID) override
    {
        for (qsizetype i = 0; i < session->scenes.size(); ++i)
            if (session->scenes[i].id == sceneID)
                session->currentSceneIndex = i;
    }
    bool canRecordTail(const QUuid &, const QUuid &) const override { return true; }
    void recordTail(const QUuid &, const QUuid &t, std::optional<double> playhead) override
    {
        calls << QStringLiteral("tail %1 %2").arg(t.toString()).arg(playhead ? QString::number(*playhead)
                                                                            : QStringLiteral("none"));
    }
    bool hasPendingTakeOnReviewClose() const override { return pendingOnClose; }
    void retake() override { calls << QStringLiteral("retake"); }

    std::optional<Session> session;
    std::optional<QString> takeURL;
    std::optional<QUuid> previewed, pending;
    bool tailLive = false, skipSave = false, pendingOnClose = false;
    double mixLevel = 0.5;
    QSet<QString> orphans;
    QStringList calls;
};

} // namespace lumacast::reviewtest
