#include "overlays/CountdownOverlay.h"

#include "threads/ThreadBridge.h"

#include <QApplication>
#include <QEasingCurve>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPathStroker>
#include <QScreen>

#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

namespace lumacast {

namespace {

// Watches key presses anywhere in this application and lets them through unchanged.
class EscapeMonitor final : public QObject {
public:
    explicit EscapeMonitor(std::function<void()> onEscape) : m_onEscape(std::move(onEscape)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape
            && !static_cast<QKeyEvent *>(event)->isAutoRepeat())
            m_onEscape();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_onEscape;
};


QRegion filledRegion(const QPainterPath &path, bool evenOdd)
{
    QRegion region;
    for (const QPolygonF &polygon : path.toFillPolygons()) {
        const QRegion piece(polygon.toPolygon(), evenOdd ? Qt::OddEvenFill : Qt::WindingFill);
        region = evenOdd ? region.xored(piece) : region.united(piece);
    }
    return region;
}

} // namespace

// ---- CountdownView ----

CountdownView::CountdownView(QWidget *parent)
    : OverlayPanel(Style{Level::screenSaver, /*ignoresMouseEvents*/ true, /*hasShadow*/ true, false}, parent)
{
    m_frames.setInterval(33);
    connect(&m_frames, &QTimer::timeout, this, &CountdownView::advance);
    setValue(m_value);
}

void CountdownView::setValue(int value)
{
    m_value = value;
    QFont font = this->font();
    font.setPixelSize(int(kDigitPixelSize));
    font.setBold(true);
    QPainterPath glyph;
    glyph.addText(0, 0, font, QString::number(value));
    m_glyph = glyph.translated(-glyph.boundingRect().center());
    m_clock.start();
    m_frames.start();
    updateShape();
    update();
}

double CountdownView::easedProgress(double linear)
{
    // The usual ease-out: a cubic Bézier through (0, 0), (0, 0), (0.58, 1), (1, 1).
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
        return c;
    }();
    return curve.valueForProgress(std::clamp(linear, 0.0, 1.0));
}

double CountdownView::scaleAt(double progress) { return 1.0 + 2.0 * progress; }

double CountdownView::opacityAt(double progress) { return 0.5 * (1.0 - progress); }

double CountdownView::progress() const
{
    return easedProgress(double(m_clock.elapsed()) / kAnimationMs);
}

QPainterPath CountdownView::digitPath(double progress) const
{
    QTransform transform;
    transform.translate(width() / 2.0, height() / 2.0);
    const double scale = scaleAt(progress);
    transform.scale(scale, scale);
    return transform.map(m_glyph);
}

void CountdownView::advance()
{
    if (m_clock.elapsed() >= kAnimationMs || !transparencyAvailable())
        m_frames.stop(); // nothing moves without a compositor
    update();
}

void CountdownView::updateShape()
{
    if (transparencyAvailable())
        return;
    // Without a compositor nothing can fade, and a growing shape would cut ever larger holes
    // into the picture: the digit stays at its own size, white with a dark rim that keeps it
    // legible on a light screen, until the next number replaces it.
    QPainterPathStroker rim;
    rim.setWidth(2.0 * kFallbackRimWidth);
    rim.setJoinStyle(Qt::RoundJoin);
    const QPainterPath digit = digitPath(0);
    setMask(filledRegion(digit, true).united(filledRegion(rim.createStroke(digit), false)));
}

void CountdownView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!transparencyAvailable()) {
        painter.fillRect(rect(), QColor(40, 40, 40)); // the rim; the mask cuts the shape
        painter.fillPath(digitPath(0), Qt::white);
        return;
    }
    const double p = progress();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacityAt(p));
    painter.fillPath(digitPath(p), Qt::white);
}

void CountdownView::resizeEvent(QResizeEvent *event)
{
    OverlayPanel::resizeEvent(event);
    updateShape();
}

// ---- CountdownOverlay ----

CountdownOverlay::CountdownOverlay(std::shared_ptr<HotKeyBackend> hotKeys, QObject *parent)
    : QObject(parent), m_hotKeys(std::move(hotKeys))
{
}

CountdownOverlay::~CountdownOverlay() { tearDown(); }

std::optional<quint32> CountdownOverlay::windowID() const
{
    if (!m_window)
        return std::nullopt;
    return m_window->windowID();
}

QCoro::Task<bool> CountdownOverlay::run(int count, std::optional<uint32_t> displayID)
{
    // One countdown at a time: a second would take over the first one's panel and Escape
    // handling and leave a panel behind. It ends at once, as cancelled; the first goes on.
    if (isRunning())
        co_return false;
    QPointer<CountdownOverlay> self(this);
    m_cancelled = false;

    auto *view = new CountdownView;
    view->setValue(m_value);
    if (QScreen *screen = OverlayPanel::screenOrMain(displayID)) {
        view->setScreen(screen);
        view->setGeometry(screen->geometry()); // the whole screen, panels and docks included
    }
    view->orderFrontRegardless();
    m_window = view;
    emit shown();
    installEscapeHandling();

    for (int n = count; n >= 1; --n) {
        if (m_cancelled) {
            tearDown();
            co_return false;
        }
        m_value = n;
        if (m_window)
            m_window->setValue(n);
        for (int step = 0; step < 10; ++step) {
            co_await QCoro::sleepFor(100ms);
            if (!self)
                co_return false;
            if (m_cancelled) {
                tearDown();
                co_return false;
            }
        }
    }
    tearDown();
    co_return !m_cancelled;
}

void CountdownOverlay::installEscapeHandling()
{
    QPointer<CountdownOverlay> self(this);
    m_localMonitor = std::make_unique<EscapeMonitor>([self] {
        if (self)
            self->cancel();
    });
    if (qApp)
        qApp->installEventFilter(m_localMonitor.get());

    if (!m_hotKeys)
        return;
    // Failures are not fatal: Escape still works while this application has the keyboard.
    EventHandlerRef handler = 0;
    if (m_hotKeys->installEventHandler(&CountdownOverlay::escapeHotKeyHandler, this, &handler)
        == hot_key_status::noErr)
        m_escHandlerRef = handler;
    EventHotKeyRef hotKey = 0;
    if (m_hotKeys->registerEventHotKey(key_code::escape, 0, EventHotKeyID{kEscapeSignature, kEscapeHotKeyID},
                                       &hotKey)
        == hot_key_status::noErr)
        m_escHotKeyRef = hotKey;
}

int CountdownOverlay::escapeHotKeyHandler(const HotKeyEvent *, void *userData)
{
    if (!userData)
        return hot_key_status::eventNotHandledErr;
    static_cast<CountdownOverlay *>(userData)->cancelFromKeyboard();
    return hot_key_status::noErr;
}

void CountdownOverlay::cancelFromKeyboard()
{
    // Deferred like every hot-key action, so the flag is only ever written between two steps.
    QPointer<CountdownOverlay> self(this);
    postToMainThread(self, [self] { self->cancel(); });
}

void CountdownOverlay::cancel()
{
    m_cancelled = true;
    if (m_onCancel)
        m_onCancel();
}

void CountdownOverlay::watchForCancel(std::function<void()> onCancel)
{
    tearDown();
    m_cancelled = false;
    m_onCancel = std::move(onCancel);
    installEscapeHandling();
}

void CountdownOverlay::stopWatching()
{
    m_onCancel = nullptr;
    tearDown();
}

void CountdownOverlay::tearDown()
{
    if (m_localMonitor) {
        if (qApp)
            qApp->removeEventFilter(m_localMonitor.get());
        m_localMonitor.reset();
    }
    if (m_hotKeys) {
        if (m_escHotKeyRef)
            m_hotKeys->unregisterEventHotKey(*m_escHotKeyRef);
        if (m_escHandlerRef)
            m_hotKeys->removeEventHandler(*m_escHandlerRef);
    }
    m_escHotKeyRef.reset();
    m_escHandlerRef.reset();
    if (m_window) {
        m_window->orderOut();
        delete m_window.data();
        emit hidden();
    }
    m_window = nullptr;
}

} // namespace lumacast
