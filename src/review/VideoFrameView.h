#pragma once

#include <QPointer>
#include <QWidget>

namespace lumacast::av {
class Player;
}

namespace lumacast::review {

// Shows the player's current picture, fitted into the view with its aspect kept, on black. It
// never takes keyboard focus, which stays with the scene outline and its playback keys.
// Main thread only; the player is held weakly.
class VideoFrameView : public QWidget {
    Q_OBJECT
public:
    explicit VideoFrameView(QWidget *parent = nullptr);

    void setPlayer(av::Player *player);
    av::Player *player() const { return m_player.data(); }
    // Where the current picture is drawn, in the view's coordinates; empty without one.
    QRect pictureRect() const;

    static constexpr QSize kMinimumSize{160, 90};

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect fittedRect(const QSize &picture) const;

    QPointer<av::Player> m_player;
    QMetaObject::Connection m_connection;
};

} // namespace lumacast::review
