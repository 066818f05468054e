#pragma once

#include "review/PlayerPaneInputs.h"

#include <QWidget>

class QLabel;
class QStackedLayout;

namespace lumacast::review {

class TrimBar;
class VideoFrameView;

// The review window's detail column: the video of the take under review above its trim bar,
// or, without a player, a black area with an empty-state message ("No takes yet" when
// `showNoTakesMessage`, else "No video recorded"). It keeps no state of its own: the review
// window hands it its inputs whenever its state changes, and the trim bar's edits go back
// through those inputs unchanged.
//
// Main thread only. With `trimEditingEnabled` false the trim bar stays visible, dimmed to 0.45,
// and ignores input.
class PlayerPane : public QWidget {
    Q_OBJECT
public:
    explicit PlayerPane(QWidget *parent = nullptr);

    void setInputs(const PlayerPaneInputs &inputs);

    // The parts, for the window's layout and for tests.
    TrimBar *trimBar() const { return m_trimBar; }
    VideoFrameView *videoView() const { return m_video; }
    // The empty-state message shown (empty while the video is shown).
    QString emptyStateTitle() const;

private:
    QWidget *makeMessage(bool noTakes);

    VideoFrameView *m_video = nullptr;
    QWidget *m_noTakes = nullptr;
    QWidget *m_noVideo = nullptr;
    QStackedLayout *m_stack = nullptr;
    QWidget *m_trimBarArea = nullptr;
    TrimBar *m_trimBar = nullptr;
};

} // namespace lumacast::review
