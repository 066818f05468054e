#include "review/VideoFrameView.h"

#include "platform/av/Player.h"

#include <QPainter>

namespace lumacast::review {

VideoFrameView::VideoFrameView(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Small, so that the pane's layout can always give the trim bar its room below the picture:
    // a larger minimum than the pane has left pushed the view under the trim bar.
    setMinimumSize(kMinimumSize);
}

void VideoFrameView::setPlayer(av::Player *player)
{
    if (player == m_player.data())
        return;
    disconnect(m_connection);
    m_player = player;
    if (player)
        m_connection = connect(player, &av::Player::frameChanged, this, qOverload<>(&QWidget::update));
    update();
}

void VideoFrameView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!m_player)
        return;
    const QImage frame = m_player->currentFrame();
    if (frame.isNull())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(fittedRect(frame.size()), frame);
}

QRect VideoFrameView::pictureRect() const
{
    const QImage frame = m_player ? m_player->currentFrame() : QImage();
    return frame.isNull() ? QRect() : fittedRect(frame.size());
}

QRect VideoFrameView::fittedRect(const QSize &picture) const
{
    const QSize fitted = picture.scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

} // namespace lumacast::review
