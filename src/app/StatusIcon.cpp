#include "app/StatusIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace lumacast::status_icon {

QImage artwork(int side)
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 24.0, side / 24.0);
    // Mid grey reads on light and dark panels alike.
    const QColor ink(128, 128, 128);
    // The slate.
    QPainterPath slate;
    slate.addRoundedRect(QRectF(3, 9, 18, 12), 2, 2);
    p.fillPath(slate, ink);
    // The clapper stick, raised, with its stripes cut out.
    p.save();
    p.translate(3, 8);
    p.rotate(-14);
    QPainterPath stick;
    stick.addRoundedRect(QRectF(0, -4, 18, 4), 1, 1);
    p.fillPath(stick, ink);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    for (int x = 3; x < 18; x += 5)
        p.fillRect(QRectF(x, -4, 2, 4), Qt::transparent);
    p.restore();
    // The record dot on the slate.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(QPointF(12, 15), 3, 3);
    return image;
}

QImage statusImage(AppState state)
{
    QImage image = artwork(24);
    if (state == AppState::idle || state == AppState::starting)
        return image;
    QPainter p(&image);
    QColor tint = app_state::statusColor(state);
    tint.setAlphaF(0.6);
    p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    p.fillRect(image.rect(), tint);
    return image;
}

QIcon statusIcon(AppState state)
{
    return QIcon(QPixmap::fromImage(statusImage(state)));
}

} // namespace lumacast::status_icon
