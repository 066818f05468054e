#pragma once

#include "platform/av/MediaTime.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace lumacast::av {

// What the review code drives of a movie player: one item (movie) at a time, play and pause,
// exact seeks, an end time for forward playback, per-track audio volumes and periodic time
// reports. The shipped implementation is MoviePlayer; tests drive doubles of it.
//
// Main thread only: every member is called there and every signal and callback arrives there.
// An item is named by a serial number that is never reused (0: no item); signals carry it so
// that a report about an item that has since been replaced can be told apart.
class Player : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Player() override = default;

    // Replaces the current item with the movie at `path` and returns the new item's serial. The
    // playhead goes to 0, the end time and the audio mix are reset; the play state is kept. The
    // movie is opened off the main thread: itemLoaded or itemFailed follows.
    virtual quint64 replaceCurrentItem(const QString &path) = 0;
    virtual quint64 currentItem() const = 0;
    virtual QString currentItemPath() const = 0;
    // The item's length, edit lists honoured; invalid until itemLoaded.
    virtual MediaTime itemDuration() const = 0;

    virtual void play() = 0;
    virtual void pause() = 0;
    // True from play() until pause(), the end of the item or the forward end time.
    virtual bool isPlaying() const = 0;
    virtual MediaTime currentTime() const = 0;

    // Moves the playhead exactly to `time` (no tolerance either side): the picture shown is the
    // frame whose display interval holds `time`. `completion` runs on the main thread with true
    // once that frame is decoded, or false when a later seek or item replaced this one.
    virtual void seek(const MediaTime &time, std::function<void(bool finished)> completion = {}) = 0;

    // Forward playback of the current item stops at this time (invalid: at the item's end).
    virtual void setForwardPlaybackEndTime(const MediaTime &time) = 0;
    virtual MediaTime forwardPlaybackEndTime() const = 0;

    // Volume of each audio track of the current item, in file order; tracks beyond the list
    // (an empty list: all tracks) play at 1.0. Takes effect on sound not yet handed to the
    // audio device, about a tenth of a second ahead.
    virtual void setAudioMix(const QList<float> &volumes) = 0;

    // Calls `report` with the current time every `interval` while playing, and once when the
    // time jumps or stops (a seek, a new item, a pause, the end), until the token is removed. A
    // paused player costs its observers nothing.
    virtual int addPeriodicTimeObserver(const MediaTime &interval,
                                        std::function<void(const MediaTime &)> report) = 0;
    virtual void removeTimeObserver(int token) = 0;

    // The picture at the playhead (null before the first frame); frameChanged says when it
    // changes. Format_RGB32, the movie's stored size, the track's transform not applied.
    virtual QImage currentFrame() const = 0;

signals:
    void itemLoaded(quint64 item, double durationSeconds, int audioTrackCount);
    void itemFailed(quint64 item, const QString &message);
    // Playback reached the forward end time or the end of the item and stopped there.
    void playedToEnd(quint64 item);
    void frameChanged();
};

} // namespace lumacast::av
