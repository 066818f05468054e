// The trim bar's drawing: strip, handles, labels and the drag tag.
#include "review/TrimBar.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace lumacast::review {

namespace {

QFont monoFont(QFont::Weight weight)
{
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(10);
    font.setWeight(weight);
    return font;
}

QPainterPath roundedRect(const QRectF &rect, double radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// A text centred at (x, y).
void drawCentred(QPainter &painter, double x, double y, const QString &text)
{
    const QRectF box(x - 200, y - 10, 400, 20);
    painter.drawText(box, Qt::AlignCenter, text);
}

} // namespace

void TrimBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF strip = stripRect();
    const QRectF top(strip.x(), 0, strip.width(), metrics.labelHeight);
    const QRectF bottom(strip.x(), strip.bottom() + 1 + 2, strip.width(), metrics.labelHeight);
    paintLabels(painter, top, bottom);
    paintStrip(painter, strip, geometryFor(strip.width()));
    paintTag(painter, strip);
}

void TrimBar::paintStrip(QPainter &painter, const QRectF &strip, const TrimStripGeometry &g)
{
    const double W = strip.width(), H = strip.height(), hw = metrics.handleWidth;
    painter.save();
    painter.translate(strip.topLeft());
    painter.setClipPath(roundedRect(QRectF(0, 0, W, H), 6));

    // 1. Background: the thumbnails stretched into equal shares, or a dark plate.
    if (!m_thumbnails.isEmpty()) {
        const double share = W / double(m_thumbnails.size());
        for (int i = 0; i < m_thumbnails.size(); ++i)
            painter.drawImage(QRectF(i * share, 0, share, H), m_thumbnails[i]);
    } else {
        painter.fillPath(roundedRect(QRectF(0, 0, W, H), 6), QColor::fromRgbF(0.12f, 0.12f, 0.12f));
    }
    // 2. and 3. The parts the trim cuts off.
    if (g.leftDimShown)
        painter.fillRect(QRectF(0, 0, g.leftDimWidth, H), QColor(0, 0, 0, int(0.45 * 255)));
    if (g.rightRegionShown) {
        const QRectF tail(g.tailCentre - g.tailWidth / 2, 0, g.tailWidth, H);
        if (g.tailShown) {
            painter.fillRect(tail, QColor(0, 0, 0, int(0.35 * 255)));
            QColor red = tailRed;
            red.setAlphaF(0.3f);
            painter.fillRect(tail, red);
        } else {
            painter.fillRect(tail, QColor(0, 0, 0, int(0.45 * 255)));
        }
    }
    // 4. The selection frame and the playhead inside it.
    const QRectF selection(g.selectionMid - g.selectionWidth / 2, 0, g.selectionWidth, H);
    const double bw = metrics.borderH;
    painter.setPen(QPen(trimYellow, bw));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(roundedRect(selection.adjusted(bw / 2, bw / 2, -bw / 2, -bw / 2), 6 - bw / 2));
    const QRectF area(selection.x() + hw, bw, std::max(0.0, g.selectionWidth - 2 * hw), H - 2 * bw);
    painter.save();
    painter.setClipPath(roundedRect(area, 4), Qt::IntersectClip);
    const std::optional<double> parked = m_inputs.parkedPlayhead ? m_inputs.parkedPlayhead : m_dragParkedPlayhead;
    double markerX;
    QColor markerColour;
    if (parked && m_inputs.duration > 0) {
        markerX = g.markerX(*parked, m_inputs.duration);
        markerColour = QColor(255, 255, 255, int(0.85 * 255));
    } else {
        markerX = (m_playheadFraction - g.startFraction) * g.innerWidth;
        markerColour = Qt::red;
    }
    painter.fillRect(QRectF(area.x() + markerX - 1, area.y(), 2, area.height()), markerColour);
    painter.restore();
    // 5. and 6. The handles.
    paintHandle(painter, g.startCentre, H,
                m_inputs.selectedHandle == TrimHandle::start || m_draggingHandle == TrimHandle::start);
    paintHandle(painter, g.endCentre, H,
                m_inputs.selectedHandle == TrimHandle::end || m_draggingHandle == TrimHandle::end);
    painter.restore();
}

void TrimBar::paintHandle(QPainter &painter, double centre, double height, bool active)
{
    const double hw = metrics.handleWidth;
    painter.setPen(Qt::NoPen);
    painter.fillPath(roundedRect(QRectF(centre - hw / 2, 0, hw, height), 5), trimYellow);
    const double lineWidth = active ? 2 : 1;
    const double lineHeight = height * (active ? 0.55 : 0.4);
    const QColor colour = active ? QColor(Qt::red) : QColor(Qt::black);
    // Two grip lines, 1 point apart, in the middle of the handle.
    const double left = centre - lineWidth - 0.5;
    painter.fillRect(QRectF(left, (height - lineHeight) / 2, lineWidth, lineHeight), colour);
    painter.fillRect(QRectF(centre + 0.5, (height - lineHeight) / 2, lineWidth, lineHeight), colour);
}

void TrimBar::paintLabels(QPainter &painter, const QRectF &top, const QRectF &bottom)
{
    const double W = top.width();
    const TrimStripGeometry g = geometryFor(W);
    const QString start = formatTime(trimStartValue());
    const QString end = formatTime(trimEndValue());
    const QString kept = formatTime(trimEndValue() - trimStartValue());
    const double y = top.center().y();
    painter.setPen(trimYellow);
    painter.setFont(monoFont(QFont::Medium));
    drawCentred(painter, top.x() + clampedLabelCentre(g.startCentre, estimatedHalfWidth(start), W), y, start);
    drawCentred(painter, top.x() + clampedLabelCentre(g.endCentre, estimatedHalfWidth(end), W), y, end);
    drawCentred(painter, top.x() + (g.startCentre + g.endCentre) / 2, y, kept);

    const QString zero = formatTime(0);
    const QString total = formatTime(m_inputs.duration);
    painter.setPen(QColor(150, 150, 155)); // a secondary label on the dark bar
    painter.setFont(monoFont(QFont::Normal));
    const double by = bottom.center().y();
    drawCentred(painter, bottom.x() + estimatedHalfWidth(zero), by, zero);
    drawCentred(painter, bottom.x() + W - estimatedHalfWidth(total), by, total);
}

void TrimBar::paintTag(QPainter &painter, const QRectF &strip)
{
    std::optional<std::pair<double, double>> tag;
    if (m_isScrubbing)
        tag = {m_scrubX, m_scrubTime};
    else if (m_isDraggingHandle)
        tag = {m_handleDragX, m_handleDragTime};
    if (!tag)
        return;
    const QString text = formatTime(tag->second);
    painter.setFont(monoFont(QFont::Medium));
    const QSizeF textSize = painter.fontMetrics().size(Qt::TextSingleLine, text);
    const QSizeF size(textSize.width() + 12, textSize.height() + 4);
    const QPointF centre(strip.x() + tag->first, strip.y() - 10);
    const QRectF box(centre.x() - size.width() / 2, centre.y() - size.height() / 2, size.width(), size.height());
    painter.fillPath(roundedRect(box, 4), QColor(0, 0, 0, int(0.8 * 255)));
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}

} // namespace lumacast::review
