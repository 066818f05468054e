#pragma once

#include "model/Session.h"
#include "platform/av/Player.h"
#include "review/PlayerPaneInputs.h"
#include "review/ReviewHost.h"
#include "review/TrimHandle.h"
#include "review/outline/PlaybackKey.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace lumacast::review {

struct TakeLocation {
    QUuid sceneID;
    QUuid takeID;
};

// The review window's player and everything that drives it: loading the previewed take's movie,
// holding playback inside the trim range, the keyboard transport (play/pause, nudges, snapping a
// selected trim handle), the preview audio mix, continuous playback of the checked takes, and
// the player's part of closing the window. It keeps the window's transient review state
// (previewed take, loaded file, selected handle, parked playhead); every lasting change goes
// through the host.
//
// Main thread only. The player is made by `makePlayer` on the first load and released when the
// preview is cleared or the window closes. Nothing here reports failure: a movie that is
// missing or too small is not loaded, and commands without a previewed take do nothing.
class ReviewPlayback : public QObject {
    Q_OBJECT
public:
    using PlayerFactory = std::function<std::unique_ptr<av::Player>()>;
    // Without a factory the player is a MoviePlayer.
    explicit ReviewPlayback(ReviewHost &host, PlayerFactory makePlayer = {}, QObject *parent = nullptr);
    ~ReviewPlayback() override;

    av::Player *player() const { return m_player.get(); }
    std::optional<QUuid> previewingTakeID() const { return m_previewingTakeID; }
    std::optional<QString> loadedFilename() const { return m_loadedFilename; }
    std::optional<TrimHandle> selectedTrimHandle() const { return m_selectedTrimHandle; }
    std::optional<double> playheadBeforeTrimPreview() const { return m_playheadBeforeTrimPreview; }
    // Audio tracks of the loaded movie when it has two or more (the ones the mix is made for).
    int previewAudioTrackCount() const { return m_previewAudioTrackCount; }

    // The previewed take: by id, else by the loaded file name.
    std::optional<Take> previewedTake() const;
    std::optional<TakeLocation> previewedTakeLocation() const;
    // Of the previewed take; 0 without one (seconds).
    double trimStart() const;
    double trimEnd() const;
    double takeDuration() const;
    // No take of the session has the previewed id (the file-name fallback does not count).
    bool showNoTakesMessage() const;

    // Loads a take's movie (a file path). Loading the file and take already shown does nothing.
    void loadPreview(const QString &path, std::optional<QUuid> takeID, bool restorePlayhead);
    // The host's current take URL changed: load it, or clear the preview when it is unusable.
    void currentTakeChanged();
    // The window appeared.
    void appear();
    // Stores the playhead into the previewed take, pauses and releases the player.
    void clearPreview();
    void saveOutgoingPlayhead();

    void playPauseOrSnap();
    void nudge(int direction, bool large);
    void commitTrim(std::optional<double> start, std::optional<double> end);
    void handlePlaybackKey(const PlaybackKey &key);
    // Selecting a handle parks the playhead and shows the trim point; clearing returns to it.
    void setSelectedTrimHandle(std::optional<TrimHandle> handle);

    // Volumes for a movie's audio tracks: none below two tracks; else the first at 1.0 and the
    // others at the host's system-audio mix level.
    QList<float> previewAudioMix(int trackCount) const;
    // The mix level changed.
    void applyPreviewAudioMix();

    // The review window is closing: release the player; an unapproved just-recorded take is
    // discarded.
    void windowWillClose();
    // Start of a handle drag: one "Trim" undo step.
    void beginTrimEdit();
    void recordTailForPreview();

    // The player pane's inputs for the current state; `canRecordTail` is the window's mirror.
    PlayerPaneInputs paneInputs(bool canRecordTail);

signals:
    // Something the pane shows changed (previewed take, player, handle, parked playhead).
    void changed();

private:
    struct PlayerDeleter {
        void operator()(av::Player *player) const;
    };

    void load(const QString &path, std::optional<QUuid> takeID, bool restorePlayhead, bool outgoingSaved);
    void applyTrimWindow();
    void seekTo(double seconds, std::function<void(bool)> completion = {});
    void itemLoaded(quint64 item, double durationSeconds, int audioTrackCount);
    void itemPlayedToEnd(quint64 item);
    std::optional<QString> moviePath(const Take &take) const;

    ReviewHost &m_host;
    PlayerFactory m_makePlayer;
    std::unique_ptr<av::Player, PlayerDeleter> m_player;
    std::optional<QUuid> m_previewingTakeID;
    std::optional<QString> m_loadedFilename;
    std::optional<TrimHandle> m_selectedTrimHandle;
    std::optional<double> m_playheadBeforeTrimPreview;
    int m_previewAudioTrackCount = 0;
};

} // namespace lumacast::review
