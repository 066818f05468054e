#include "review/TrimBar.h"

#include "platform/av/FilmstripGenerator.h"
#include "platform/av/Player.h"
#include "review/TrimBarAccessible.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace lumacast::review {

namespace {

constexpr int buttonWidth = 24;
constexpr int rowSpacing = 2;
constexpr double handleDragThreshold = 10;
constexpr double observerInterval = 0.05;
const QSize thumbnailMaxSize(160, 160);

// The record-tail control: a red capsule with a faint white outline.
QString tailButtonStyle(int horizontalPadding)
{
    return QStringLiteral("QPushButton { color: white; background: rgb(217, 31, 31);"
                          " border: 1px solid rgba(255, 255, 255, 64); border-radius: 10px;"
                          " padding: 4px %1px; font-size: 11px; font-weight: 600; }")
        .arg(horizontalPadding);
}

// The player's forward end time is at or before `trimEnd` (the 1/600 s grid both are on).
bool playerStopsBy(const av::Player &player, double trimEnd)
{
    const av::MediaTime end = player.forwardPlaybackEndTime();
    return end.isNumeric() && end <= av::MediaTime::fromSeconds(trimEnd, 600);
}

} // namespace

const QColor TrimBar::trimYellow = QColor::fromRgbF(0.98f, 0.81f, 0.0f, 1.0f);
const QColor TrimBar::tailRed = QColor::fromRgbF(0.85f, 0.12f, 0.12f, 1.0f);

TrimBar::TrimBar(QWidget *parent) : QWidget(parent)
{
    TrimBarAccessible::installFactory();
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(QStringLiteral("Trim"));
    m_playButton = new QToolButton(this);
    m_playButton->setFocusPolicy(Qt::NoFocus);
    m_playButton->setAutoRaise(true);
    m_playButton->setStyleSheet(QStringLiteral(
        "QToolButton { color: white; background: transparent; border: none; font-size: 14px; }"));
    connect(m_playButton, &QToolButton::clicked, this, &TrimBar::togglePlayPause);

    m_tailButton = new QPushButton(this);
    m_tailButton->setFocusPolicy(Qt::NoFocus);
    m_tailButton->setToolTip(QStringLiteral("Record a replacement for the trimmed-off tail of this take."));
    m_tailButton->setAccessibleName(QStringLiteral("Re-record tail"));
    m_tailButton->setStyleSheet(tailButtonStyle(8));
    connect(m_tailButton, &QPushButton::clicked, this, [this] {
        if (m_inputs.onRecordTail)
            m_inputs.onRecordTail();
    });
    m_tailButton->hide();
    updateControls();
}

TrimBar::~TrimBar()
{
    uninstallTimeObserver();
}

QSize TrimBar::sizeHint() const
{
    return {600, int(2 * metrics.labelHeight + metrics.barHeight + 2 * rowSpacing)};
}

QSize TrimBar::minimumSizeHint() const
{
    return {200, sizeHint().height()};
}

QRect TrimBar::stripRect() const
{
    const int x = buttonWidth + 8;
    return QRect(x, int(metrics.labelHeight) + rowSpacing, std::max(0, width() - x), int(metrics.barHeight));
}

QRect TrimBar::handleRect(TrimHandle handle) const
{
    const QRect strip = stripRect();
    const TrimStripGeometry g = geometryFor(strip.width());
    const double centre = handle == TrimHandle::start ? g.startCentre : g.endCentre;
    return QRectF(strip.x() + centre - metrics.handleWidth / 2, strip.y(), metrics.handleWidth, strip.height())
        .toAlignedRect();
}

double TrimBar::handleTime(TrimHandle handle) const
{
    return handle == TrimHandle::start ? trimStartValue() : trimEndValue();
}

TrimStripGeometry TrimBar::geometryFor(double width) const
{
    return TrimStripGeometry::compute(width, metrics.handleWidth, m_inputs.duration, trimStartValue(),
                                      trimEndValue(), m_inputs.canRecordTail);
}

void TrimBar::setInputs(Inputs inputs)
{
    const av::Player *oldPlayer = m_inputs.player.data();
    m_inputs = std::move(inputs);
    const double duration = m_inputs.duration, start = trimStartValue(), end = trimEndValue();
    bool reinstall = false;
    if (m_inputs.player.data() != oldPlayer || duration != m_lastDuration)
        reinstall = true;
    if (start != m_lastTrimStart && !m_isDraggingHandle)
        reinstall = true;
    if (end != m_lastTrimEnd) {
        if (m_inputs.player && m_inputs.player->currentItem() != 0)
            m_inputs.player->setForwardPlaybackEndTime(av::MediaTime::fromSeconds(end, 600));
        if (!m_isDraggingHandle)
            reinstall = true;
    }
    m_lastDuration = duration;
    m_lastTrimStart = start;
    m_lastTrimEnd = end;
    if (reinstall && isVisible())
        installTimeObserver();
    if (isVisible())
        startThumbnails();
    updateControls();
    update();
}

void TrimBar::seek(double seconds)
{
    if (m_inputs.player)
        m_inputs.player->seek(av::MediaTime::fromSeconds(seconds, 600));
}

void TrimBar::installTimeObserver()
{
    uninstallTimeObserver();
    av::Player *player = m_inputs.player.data();
    if (!player || m_inputs.duration <= 0)
        return;
    QPointer<TrimBar> self = this;
    QPointer<av::Player> weakPlayer = player;
    const double capturedTrimEnd = trimEndValue();
    m_timeObserver = player->addPeriodicTimeObserver(
        av::MediaTime::fromSeconds(observerInterval, 600), [self, weakPlayer, capturedTrimEnd](const av::MediaTime &t) {
            if (self && weakPlayer)
                self->observerTick(t, capturedTrimEnd);
        });
    m_observerPlayer = player;
}

void TrimBar::uninstallTimeObserver()
{
    if (m_timeObserver && m_observerPlayer)
        m_observerPlayer->removeTimeObserver(*m_timeObserver);
    m_timeObserver.reset();
    m_observerPlayer = nullptr;
}

void TrimBar::observerTick(const av::MediaTime &time, double capturedTrimEnd)
{
    av::Player *player = m_observerPlayer.data();
    if (!player)
        return;
    const double duration = m_inputs.duration;
    const double t = time.seconds();
    m_playheadFraction = std::min(1.0, t / duration > 0 ? t / duration : 0.0);
    m_isPlaying = player->isPlaying();
    if (m_isPlaying) {
        switch (observerTickAction(t, trimStartValue(), capturedTrimEnd, duration)) {
        case TickAction::seekToTrimStart:
            player->seek(av::MediaTime::fromSeconds(trimStartValue(), 600));
            break;
        case TickAction::pauseAtTrimEnd:
            // A player whose own end time holds the trim end stops there and reports the end,
            // which carries playback on to the next checked take; a pause here would swallow it.
            if (playerStopsBy(*player, capturedTrimEnd))
                break;
            player->pause();
            m_isPlaying = false;
            player->seek(av::MediaTime::fromSeconds(capturedTrimEnd, 600));
            break;
        case TickAction::none:
            break;
        }
    }
    updateControls();
    update();
}

void TrimBar::handleDragChanged(TrimHandle handle, double x)
{
    const double duration = m_inputs.duration;
    const TrimStripGeometry g = geometryFor(stripRect().width());
    const double value = handleDragValue(handle, x, g.innerWidth, metrics.handleWidth, duration, trimStartValue(),
                                         trimEndValue(), metrics.minGap);
    av::Player *player = m_inputs.player.data();
    if (!m_isDraggingHandle) {
        m_isDraggingHandle = true;
        m_draggingHandle = handle;
        if (!m_inputs.parkedPlayhead && player)
            m_dragParkedPlayhead = player->currentTime().seconds();
        if (m_inputs.onBeginEdit)
            m_inputs.onBeginEdit();
    }
    const DoubleBinding &binding = handle == TrimHandle::start ? m_inputs.trimStart : m_inputs.trimEnd;
    binding.write(value);
    m_handleDragX = handle == TrimHandle::start ? g.startCentre : g.endCentre;
    m_handleDragTime = binding.value();
    if (handle == TrimHandle::end && player && player->currentItem() != 0)
        player->setForwardPlaybackEndTime(av::MediaTime::fromSeconds(trimEndValue(), 600));
    if (player && duration > 0) {
        const double v = std::clamp(binding.value(), 0.0, duration);
        m_playheadFraction = v / duration;
        seek(v);
    }
    m_lastTrimStart = trimStartValue();
    m_lastTrimEnd = trimEndValue();
    update();
}

void TrimBar::handleDragEnded()
{
    m_isDraggingHandle = false;
    m_draggingHandle.reset();
    if (m_dragParkedPlayhead && m_inputs.player)
        seek(std::max(trimStartValue(), std::min(trimEndValue(), *m_dragParkedPlayhead)));
    m_dragParkedPlayhead.reset();
    if (isVisible())
        installTimeObserver();
    if (m_inputs.onTrimChanged)
        m_inputs.onTrimChanged();
    update();
}

void TrimBar::scrubChanged(double x)
{
    const std::optional<double> t = scrubTime(x, stripRect().width(), metrics.handleWidth, m_inputs.duration,
                                              trimStartValue(), trimEndValue());
    if (!t)
        return;
    const double usable = stripRect().width() - 2 * metrics.handleWidth;
    m_isScrubbing = true;
    m_scrubTime = *t;
    m_scrubX = usable * (*t / m_inputs.duration) + metrics.handleWidth;
    m_playheadFraction = *t / m_inputs.duration;
    m_isPlaying = false;
    if (m_inputs.player) {
        m_inputs.player->pause();
        seek(*t);
    }
    updateControls();
    update();
}

void TrimBar::togglePlayPause()
{
    av::Player *player = m_inputs.player.data();
    if (!player)
        return;
    if (player->isPlaying()) {
        player->pause();
        m_isPlaying = false;
    } else {
        const double t = player->currentTime().seconds();
        if (playRestartsFromTrimStart(t, trimStartValue(), trimEndValue())) {
            if (m_inputs.duration > 0)
                m_playheadFraction = trimStartValue() / m_inputs.duration;
            QPointer<av::Player> weak = player;
            player->seek(av::MediaTime::fromSeconds(trimStartValue(), 600), [weak](bool) {
                if (weak)
                    weak->play();
            });
        } else {
            player->play();
        }
        m_isPlaying = true;
    }
    updateControls();
    update();
}

void TrimBar::startThumbnails()
{
    const QString key = m_inputs.player ? m_inputs.player->currentItemPath() : QString();
    // A run under way, or one that went through, for this movie: nothing to do. A run that a
    // hide cancelled starts again.
    if (m_thumbnailKey == key && (m_filmstrip || m_thumbnailsComplete))
        return;
    const bool newMovie = m_thumbnailKey != key;
    m_thumbnailKey = key;
    m_thumbnailsComplete = false;
    m_filmstrip.reset();
    if (key.isEmpty() || m_inputs.duration <= 0) {
        m_thumbnailsComplete = true;
        m_thumbnails.clear();
        emit thumbnailsChanged();
        update();
        return;
    }
    if (newMovie && !m_thumbnails.isEmpty()) {
        // Another take's pictures never stand under this one.
        m_thumbnails.clear();
        emit thumbnailsChanged();
        update();
    }
    QPointer<TrimBar> self = this;
    m_filmstrip = std::make_unique<av::FilmstripGenerator>(
        key, m_inputs.duration, metrics.thumbnailCount, thumbnailMaxSize, this,
        [self, key](QList<QImage> images, bool complete) {
            if (!self || self->m_thumbnailKey != key)
                return;
            // A cancelled run keeps what it gathered until its movie's next run replaces it.
            self->m_thumbnails = std::move(images);
            if (complete)
                self->m_thumbnailsComplete = true;
            emit self->thumbnailsChanged();
            self->update();
        });
}

void TrimBar::updateControls()
{
    // Each control is touched only on a change: this runs 20 times a second while playing, a
    // style sheet set again re-polishes the button, and every accessible name set is announced.
    const QString playText = m_isPlaying ? QStringLiteral("\u275A\u275A") : QStringLiteral("\u25B6");
    if (m_playButton->text() != playText)
        m_playButton->setText(playText);
    const QString playName = m_isPlaying ? QStringLiteral("Pause") : QStringLiteral("Play");
    if (m_playButton->accessibleName() != playName)
        m_playButton->setAccessibleName(playName);
    m_playButton->setGeometry(0, int(2 + metrics.labelHeight), buttonWidth, int(metrics.barHeight));
    const QRect strip = stripRect();
    const TrimStripGeometry g = geometryFor(strip.width());
    if (m_tailButton->isVisibleTo(this) != g.tailShown)
        m_tailButton->setVisible(g.tailShown);
    if (!g.tailShown)
        return;
    const QString tailText = g.tailTextShown ? QStringLiteral("\u21AA Re-record") : QStringLiteral("\u21AA");
    if (m_tailButton->text() != tailText) {
        m_tailButton->setText(tailText);
        m_tailButton->setStyleSheet(tailButtonStyle(g.tailTextShown ? 8 : 5));
        m_tailButton->adjustSize();
    }
    const QSize size = m_tailButton->size();
    m_tailButton->move(strip.x() + int(g.tailCentre - size.width() / 2.0),
                       strip.y() + int(metrics.barHeight / 2 - size.height() / 2.0));
}

void TrimBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateControls();
}

void TrimBar::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    installTimeObserver();
    startThumbnails();
}

void TrimBar::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    uninstallTimeObserver();
    // Leaving the screen cancels the thumbnail run (it hands over what it gathered); coming
    // back starts it again unless it had gone through.
    m_filmstrip.reset();
}

void TrimBar::mousePressEvent(QMouseEvent *event)
{
    const QRect strip = stripRect();
    if (event->button() != Qt::LeftButton || !strip.contains(event->position().toPoint()))
        return;
    const double x = event->position().x() - strip.x();
    const TrimStripGeometry g = geometryFor(strip.width());
    const double hw = metrics.handleWidth;
    m_pressPosition = event->position();
    // The end handle lies over the start handle where they meet.
    if (x >= g.endCentre - hw / 2 && x <= g.endCentre + hw / 2)
        m_pressedHandle = TrimHandle::end;
    else if (x >= g.startCentre - hw / 2 && x <= g.startCentre + hw / 2)
        m_pressedHandle = TrimHandle::start;
    else {
        m_pressScrubs = true;
        scrubChanged(x);
    }
}

void TrimBar::mouseMoveEvent(QMouseEvent *event)
{
    const double x = event->position().x() - stripRect().x();
    if (m_pressedHandle) {
        const QPointF moved = event->position() - m_pressPosition;
        if (m_isDraggingHandle || std::hypot(moved.x(), moved.y()) >= handleDragThreshold)
            handleDragChanged(*m_pressedHandle, x);
    } else if (m_pressScrubs) {
        scrubChanged(x);
    }
}

void TrimBar::mouseReleaseEvent(QMouseEvent *)
{
    if (m_isDraggingHandle)
        handleDragEnded();
    if (m_pressScrubs) {
        m_isScrubbing = false;
        update();
    }
    m_pressedHandle.reset();
    m_pressScrubs = false;
}

} // namespace lumacast::review
