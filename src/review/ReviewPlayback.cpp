#include "review/ReviewPlayback.h"

#include "model/LogCategories.h"
#include "platform/av/MoviePlayer.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace lumacast::review {

namespace {

constexpr double minimumTrimGap = 0.5;
constexpr double smallNudge = 1.0 / 30;
constexpr double largeNudge = 1.0;
constexpr double trimWindowThreshold = 0.01;
constexpr double durationMismatch = 0.01;
constexpr double restartMargin = 0.05;

double clampInto(double value, double low, double high)
{
    return std::max(low, std::min(high, value));
}

} // namespace

void ReviewPlayback::PlayerDeleter::operator()(av::Player *player) const
{
    // The player may be in the middle of delivering a signal: it goes at the next turn of the
    // event loop, silenced and paused.
    player->disconnect();
    player->pause();
    player->deleteLater();
}

ReviewPlayback::ReviewPlayback(ReviewHost &host, PlayerFactory makePlayer, QObject *parent)
    : QObject(parent), m_host(host), m_makePlayer(std::move(makePlayer))
{
    if (!m_makePlayer)
        m_makePlayer = [] { return std::make_unique<av::MoviePlayer>(); };
}

ReviewPlayback::~ReviewPlayback() = default;

std::optional<Take> ReviewPlayback::previewedTake() const
{
    const Session *session = m_host.currentSession();
    const std::optional<TakeLocation> location = previewedTakeLocation();
    if (!session || !location)
        return std::nullopt;
    for (const RecordingScene &scene : session->scenes)
        if (scene.id == location->sceneID)
            for (const Take &take : scene.takes)
                if (take.id == location->takeID)
                    return take;
    return std::nullopt;
}

std::optional<TakeLocation> ReviewPlayback::previewedTakeLocation() const
{
    const Session *session = m_host.currentSession();
    if (!session)
        return std::nullopt;
    if (m_previewingTakeID)
        for (const RecordingScene &scene : session->scenes)
            for (const Take &take : scene.takes)
                if (take.id == *m_previewingTakeID)
                    return TakeLocation{scene.id, take.id};
    const QString filename = m_loadedFilename.value_or(QString());
    for (const RecordingScene &scene : session->scenes)
        for (const Take &take : scene.takes)
            if (take.filename == filename)
                return TakeLocation{scene.id, take.id};
    return std::nullopt;
}

double ReviewPlayback::trimStart() const
{
    const std::optional<Take> take = previewedTake();
    return take ? take->trimStart : 0;
}

double ReviewPlayback::trimEnd() const
{
    const std::optional<Take> take = previewedTake();
    return take ? take->trimEnd : 0;
}

double ReviewPlayback::takeDuration() const
{
    const std::optional<Take> take = previewedTake();
    return take ? take->duration : 0;
}

bool ReviewPlayback::showNoTakesMessage() const
{
    const Session *session = m_host.currentSession();
    if (!m_previewingTakeID || !session)
        return true;
    for (const RecordingScene &scene : session->scenes)
        for (const Take &take : scene.takes)
            if (take.id == *m_previewingTakeID)
                return false;
    return true;
}

void ReviewPlayback::seekTo(double seconds, std::function<void(bool)> completion)
{
    m_player->seek(av::MediaTime::fromSeconds(seconds, 600), std::move(completion));
}

void ReviewPlayback::loadPreview(const QString &path, std::optional<QUuid> takeID, bool restorePlayhead)
{
    load(path, takeID, restorePlayhead, false);
}

void ReviewPlayback::load(const QString &path, std::optional<QUuid> takeID, bool restorePlayhead,
                          bool outgoingSaved)
{
    const QString filename = QFileInfo(path).fileName();
    if (m_loadedFilename == filename && m_previewingTakeID == takeID)
        return;
    if (!Take::isUsableFile(path))
        return;
    if (!outgoingSaved) {
        if (m_host.skipOutgoingPlayheadSave())
            m_host.setSkipOutgoingPlayheadSave(false);
        else
            saveOutgoingPlayhead();
    }
    m_playheadBeforeTrimPreview.reset();
    if (takeID)
        m_previewingTakeID = takeID;
    m_loadedFilename = filename;
    m_previewAudioTrackCount = 0;
    if (m_player) {
        m_player->pause();
    } else {
        m_player.reset(m_makePlayer().release());
        connect(m_player.get(), &av::Player::itemLoaded, this, &ReviewPlayback::itemLoaded);
        connect(m_player.get(), &av::Player::playedToEnd, this, &ReviewPlayback::itemPlayedToEnd);
    }
    m_player->replaceCurrentItem(path);
    applyTrimWindow();
    if (restorePlayhead) {
        const std::optional<Take> take = previewedTake();
        if (take && take->playheadPosition)
            seekTo(clampInto(*take->playheadPosition, trimStart(), trimEnd()));
    }
    emit changed();
}

void ReviewPlayback::applyTrimWindow()
{
    if (trimStart() > trimWindowThreshold)
        seekTo(trimStart());
    const double duration = takeDuration();
    if (duration > 0 && trimEnd() < duration - trimWindowThreshold)
        m_player->setForwardPlaybackEndTime(av::MediaTime::fromSeconds(trimEnd(), 600));
    else
        m_player->setForwardPlaybackEndTime(av::MediaTime::invalid());
}

void ReviewPlayback::itemLoaded(quint64 item, double durationSeconds, int audioTrackCount)
{
    if (!m_player || item != m_player->currentItem())
        return;
    if (audioTrackCount >= 2) {
        m_previewAudioTrackCount = audioTrackCount;
        m_player->setAudioMix(previewAudioMix(audioTrackCount));
    }
    // The stored duration follows the movie's when they disagree, for the file still loaded.
    const bool sameFile = QFileInfo(m_player->currentItemPath()).fileName() == m_loadedFilename;
    if (std::isfinite(durationSeconds) && durationSeconds > 0 && sameFile
        && std::abs(takeDuration() - durationSeconds) > durationMismatch) {
        if (const std::optional<TakeLocation> location = previewedTakeLocation())
            m_host.correctTakeDuration(durationSeconds, location->sceneID, location->takeID);
    }
    emit changed();
}

void ReviewPlayback::saveOutgoingPlayhead()
{
    if (!m_player || !m_loadedFilename)
        return;
    const double t = m_player->currentTime().seconds();
    if (!std::isfinite(t) || t < 0)
        return;
    if (const std::optional<TakeLocation> location = previewedTakeLocation())
        m_host.setTakePlayhead(t, location->sceneID, location->takeID);
}

void ReviewPlayback::currentTakeChanged()
{
    const std::optional<QString> url = m_host.currentTakeURL();
    if (!url || !Take::isUsableFile(*url)) {
        clearPreview();
        return;
    }
    std::optional<QUuid> takeID = m_host.previewedTakeID();
    if (!takeID)
        takeID = m_host.pendingTakeID();
    if (!takeID) {
        const QString filename = QFileInfo(*url).fileName();
        if (const Session *session = m_host.currentSession())
            for (const RecordingScene &scene : session->scenes)
                for (const Take &take : scene.takes)
                    if (!takeID && take.filename == filename)
                        takeID = take.id;
    }
    loadPreview(*url, takeID, true);
}

void ReviewPlayback::appear()
{
    const std::optional<QString> url = m_host.currentTakeURL();
    qCInfo(log::review(), "onAppear url=%s", url ? qUtf8Printable(QFileInfo(*url).fileName()) : "nil");
    currentTakeChanged();
}

void ReviewPlayback::clearPreview()
{
    saveOutgoingPlayhead();
    if (m_player)
        m_player->pause();
    m_previewingTakeID.reset();
    m_loadedFilename.reset();
    m_player.reset();
    m_previewAudioTrackCount = 0;
    emit changed();
}

void ReviewPlayback::playPauseOrSnap()
{
    if (!m_player)
        return;
    const double duration = takeDuration();
    if (m_selectedTrimHandle && duration > 0 && !m_host.hasTailOperation()) {
        const double t = m_playheadBeforeTrimPreview.value_or(m_player->currentTime().seconds());
        if (*m_selectedTrimHandle == TrimHandle::end) {
            const double newEnd = std::min(std::max(t, trimStart() + minimumTrimGap), duration);
            commitTrim(std::nullopt, newEnd);
            m_player->setForwardPlaybackEndTime(av::MediaTime::fromSeconds(newEnd, 600));
            seekTo(newEnd);
        } else {
            const double newStart = std::max(0.0, std::min(t, trimEnd() - minimumTrimGap));
            commitTrim(newStart, std::nullopt);
            seekTo(newStart);
        }
        return;
    }
    if (m_player->isPlaying()) {
        m_player->pause();
        return;
    }
    if (m_player->currentItem() == 0) {
        m_player->play();
        return;
    }
    const double t = m_player->currentTime().seconds();
    const av::MediaTime forwardEnd = m_player->forwardPlaybackEndTime();
    const double end = forwardEnd.isNumeric() ? forwardEnd.seconds() : m_player->itemDuration().seconds();
    if (end > 0 && t >= end - restartMargin) {
        QPointer<av::Player> player = m_player.get();
        seekTo(trimStart(), [player](bool) {
            if (player)
                player->play();
        });
    } else {
        m_player->play();
    }
}

void ReviewPlayback::nudge(int direction, bool large)
{
    const double duration = takeDuration();
    if (!m_player || duration <= 0)
        return;
    const double delta = direction * (large ? largeNudge : smallNudge);
    if (!m_selectedTrimHandle) {
        const double t = clampInto(m_player->currentTime().seconds() + delta, trimStart(), trimEnd());
        m_player->pause();
        seekTo(t);
    } else if (*m_selectedTrimHandle == TrimHandle::end) {
        const double newEnd = std::min(std::max(trimEnd() + delta, trimStart() + minimumTrimGap), duration);
        commitTrim(std::nullopt, newEnd);
        m_player->setForwardPlaybackEndTime(av::MediaTime::fromSeconds(newEnd, 600));
        seekTo(newEnd);
    } else {
        const double newStart = std::max(0.0, std::min(trimStart() + delta, trimEnd() - minimumTrimGap));
        commitTrim(newStart, std::nullopt);
        seekTo(newStart);
    }
}

void ReviewPlayback::commitTrim(std::optional<double> start, std::optional<double> end)
{
    if (const std::optional<TakeLocation> location = previewedTakeLocation())
        m_host.setTakeTrim(location->sceneID, location->takeID, start.value_or(trimStart()),
                           end.value_or(trimEnd()));
}

void ReviewPlayback::handlePlaybackKey(const PlaybackKey &key)
{
    const bool tailLive = m_host.hasTailOperation();
    switch (key.kind) {
    case PlaybackKey::playPauseOrSnap:
        playPauseOrSnap();
        break;
    case PlaybackKey::toggleTrimStart:
        if (!tailLive)
            setSelectedTrimHandle(m_selectedTrimHandle == TrimHandle::start ? std::nullopt
                                                                             : std::optional(TrimHandle::start));
        break;
    case PlaybackKey::toggleTrimEnd:
        if (!tailLive)
            setSelectedTrimHandle(m_selectedTrimHandle == TrimHandle::end ? std::nullopt
                                                                           : std::optional(TrimHandle::end));
        break;
    case PlaybackKey::deselectTrim:
        setSelectedTrimHandle(std::nullopt);
        break;
    case PlaybackKey::nudge:
        if (!tailLive)
            nudge(key.forward ? 1 : -1, key.large);
        break;
    }
}

void ReviewPlayback::setSelectedTrimHandle(std::optional<TrimHandle> handle)
{
    if (handle == m_selectedTrimHandle)
        return;
    m_selectedTrimHandle = handle;
    if (m_player) {
        if (handle) {
            if (!m_playheadBeforeTrimPreview)
                m_playheadBeforeTrimPreview = m_player->currentTime().seconds();
            m_player->pause();
            seekTo(*handle == TrimHandle::start ? trimStart() : trimEnd());
        } else if (m_playheadBeforeTrimPreview) {
            seekTo(clampInto(*m_playheadBeforeTrimPreview, trimStart(), trimEnd()));
            m_playheadBeforeTrimPreview.reset();
        }
    }
    emit changed();
}

QList<float> ReviewPlayback::previewAudioMix(int trackCount) const
{
    if (trackCount < 2)
        return {};
    QList<float> volumes{1.0f};
    while (volumes.size() < trackCount)
        volumes.append(float(m_host.systemAudioMixLevel()));
    return volumes;
}

void ReviewPlayback::applyPreviewAudioMix()
{
    if (m_player && m_player->currentItem() != 0)
        m_player->setAudioMix(previewAudioMix(m_previewAudioTrackCount));
}

std::optional<QString> ReviewPlayback::moviePath(const Take &take) const
{
    const Session *session = m_host.currentSession();
    if (!session || !Take::isSafeFilename(take.filename))
        return std::nullopt;
    const QString folder = session->bundleURL.value_or(session->scratchURL);
    return QDir(folder).filePath(QStringLiteral("takes/") + take.filename);
}

void ReviewPlayback::itemPlayedToEnd(quint64 item)
{
    if (!m_player || item != m_player->currentItem() || m_host.hasTailOperation())
        return;
    const Session *session = m_host.currentSession();
    if (!session)
        return;
    const QList<Take> list = session->checkedTakes();
    qsizetype index = -1;
    for (qsizetype i = 0; i < list.size() && index < 0; ++i)
        if (m_previewingTakeID ? list[i].id == *m_previewingTakeID : list[i].filename == m_loadedFilename)
            index = i;
    if (index < 0 || index + 1 >= list.size())
        return;
    const Take next = list[index + 1];
    std::optional<QUuid> nextScene;
    for (const RecordingScene &scene : session->scenes)
        for (const Take &take : scene.takes)
            if (!nextScene && take.id == next.id)
                nextScene = scene.id;
    const std::optional<QString> path = moviePath(next);

    // The playhead belongs to the take that played to its end: it is stored while the preview
    // still names that take, before the next one becomes the previewed take.
    if (m_host.skipOutgoingPlayheadSave())
        m_host.setSkipOutgoingPlayheadSave(false);
    else
        saveOutgoingPlayhead();
    m_previewingTakeID = next.id;
    if (nextScene)
        m_host.setCurrentScene(*nextScene);
    if (path)
        load(*path, next.id, false, true);
    if (m_player)
        m_player->play();
    emit changed();
}

void ReviewPlayback::windowWillClose()
{
    if (m_player)
        m_player->pause();
    m_player.reset();
    if (m_host.hasPendingTakeOnReviewClose())
        m_host.retake();
    emit changed();
}

void ReviewPlayback::beginTrimEdit()
{
    if (m_host.hasTailOperation())
        return;
    if (!m_host.checkpoint(QStringLiteral("Trim")).isEmpty())
        m_host.collectOrphanTakeFiles();
}

void ReviewPlayback::recordTailForPreview()
{
    const std::optional<TakeLocation> location = previewedTakeLocation();
    if (!location)
        return;
    std::optional<double> playhead;
    if (m_player) {
        m_player->pause();
        playhead = m_player->currentTime().seconds();
    }
    m_host.recordTail(location->sceneID, location->takeID, playhead);
}

PlayerPaneInputs ReviewPlayback::paneInputs(bool canRecordTail)
{
    PlayerPaneInputs inputs;
    inputs.player = m_player.get();
    QPointer<ReviewPlayback> self = this;
    inputs.trimStart.get = [self] { return self ? self->trimStart() : 0.0; };
    inputs.trimStart.set = [self](double v) {
        if (!self)
            return;
        if (const std::optional<TakeLocation> location = self->previewedTakeLocation())
            self->m_host.setTrimLive(location->sceneID, location->takeID, v, self->trimEnd());
    };
    inputs.trimEnd.get = [self] { return self ? self->trimEnd() : 0.0; };
    inputs.trimEnd.set = [self](double v) {
        if (!self)
            return;
        if (const std::optional<TakeLocation> location = self->previewedTakeLocation())
            self->m_host.setTrimLive(location->sceneID, location->takeID, self->trimStart(), v);
    };
    inputs.takeDuration = takeDuration();
    inputs.selectedHandle = m_selectedTrimHandle;
    inputs.parkedPlayhead = m_playheadBeforeTrimPreview;
    inputs.showNoTakesMessage = showNoTakesMessage();
    inputs.onTrimChanged = [self] {
        if (self)
            self->m_host.scheduleSave();
    };
    inputs.onBeginEdit = [self] {
        if (self)
            self->beginTrimEdit();
    };
    inputs.trimEditingEnabled = !m_host.hasTailOperation();
    inputs.canRecordTail = canRecordTail;
    inputs.onRecordTail = [self] {
        if (self)
            self->recordTailForPreview();
    };
    return inputs;
}

} // namespace lumacast::review
