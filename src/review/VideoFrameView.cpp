#include "review/VideoFrameView.h"

#include "platform/av/Player.h"

#include <QPainter>

namespace lumacast::review {

VideoFrameView::VideoFrameView(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(480, 360);
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
    const QSize fitted = frame.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, frame);
}

} // namespace lumacast::review
