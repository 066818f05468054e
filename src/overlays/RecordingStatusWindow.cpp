#include "overlays/RecordingStatusWindow.h"

#include "capture/DisplayOption.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>
#include <QVBoxLayout>

#include <cmath>

namespace lumacast {

// ---- what the card says ----

std::optional<double> RecordingStatus::elapsedRecordingTime(const QDateTime &now) const
{
    if (!takeStartedAt)
        return std::nullopt;
    const double sinceStart = double(takeStartedAt->msecsTo(now)) / 1000.0;
    const double pausedNow = pausedAt ? double(pausedAt->msecsTo(now)) / 1000.0 : 0.0;
    return sinceStart - pauseAccumulated - pausedNow;
}

namespace status_card {

namespace {

const QString kDash = QStringLiteral(" \u2014 ");

QString sceneTake(const RecordingStatus &s)
{
    return QStringLiteral("S%1T%2").arg(s.sceneNumber).arg(s.nextTakeNumber);
}

QString displayName(std::optional<uint32_t> selected)
{
    const auto displays = DisplayOption::available();
    if (selected)
        for (const auto &d : displays)
            if (d.id == *selected)
                return d.name;
    if (const auto main = DisplayOption::mainDisplayID())
        for (const auto &d : displays)
            if (d.id == *main)
                return d.name;
    return QStringLiteral("Display");
}

std::optional<QString> cameraName(const RecordingStatus &s)
{
    if (!s.webcamEnabled || !s.selectedCameraID)
        return std::nullopt;
    for (const auto &camera : CameraCapture::availableCameras())
        if (camera.id == *s.selectedCameraID)
            return camera.name;
    for (const auto &camera : s.availableCameras)
        if (camera.id == *s.selectedCameraID)
            return camera.name;
    return std::nullopt;
}

QString microphoneName(const RecordingStatus &s)
{
    if (!s.selectedMicrophoneID)
        return s.defaultMicrophoneName.value_or(QStringLiteral("System Default"));
    for (const auto &mic : s.availableMicrophones)
        if (mic.id == *s.selectedMicrophoneID)
            return mic.name;
    return QStringLiteral("Microphone");
}

QString keysFor(const RecordingStatus &s, ShortcutAction action)
{
    const auto found = s.shortcutBindings.find(action);
    const ShortcutBinding binding = found != s.shortcutBindings.end() ? found->second : defaultBinding(action);
    return ShortcutBinding::displayString(binding.carbonKeyCode, binding.carbonModifiers);
}

// A row for each key of the buttons shown that the desktop keeps, once per key.
void addKeysTheDesktopKeeps(const RecordingStatus &s, std::vector<StatusDetailRow> &rows)
{
    QStringList said;
    for (const StatusAction &action : actions(s)) {
        const auto kept = s.keysTheDesktopKeeps.find(action.shortcut);
        const QString keys = keysFor(s, action.shortcut);
        if (kept == s.keysTheDesktopKeeps.end() || said.contains(keys))
            continue;
        said << keys;
        rows.push_back({QString::fromLatin1(kNoticeSymbol),
                        QStringLiteral("The desktop keeps %1 for itself (%2): give that shortcut another key in "
                                       "Lumacast's Settings.")
                            .arg(keys, kept->second)});
    }
}

} // namespace

QString headerTitle(const RecordingStatus &s)
{
    switch (s.state) {
    case OverlayState::idle:
        return QStringLiteral("Ready") + kDash + sceneTake(s);
    case OverlayState::starting:
        return QStringLiteral("Starting\u2026");
    case OverlayState::recording:
        return s.tailTargetLabel ? QStringLiteral("REC tail") + kDash + *s.tailTargetLabel
                                 : QStringLiteral("REC") + kDash + sceneTake(s);
    case OverlayState::paused:
        return s.tailTargetLabel ? QStringLiteral("PAUSED tail") + kDash + *s.tailTargetLabel
                                 : QStringLiteral("PAUSED") + kDash + sceneTake(s);
    case OverlayState::reviewing:
        return QStringLiteral("Review") + kDash + QStringLiteral("S%1").arg(s.sceneNumber);
    }
    return QString();
}

QString elapsedText(double seconds)
{
    long long whole = std::isfinite(seconds) ? (long long)std::trunc(seconds) : 0;
    if (whole < 0)
        whole = 0;
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

std::vector<StatusDetailRow> detailRows(const RecordingStatus &s)
{
    std::vector<StatusDetailRow> rows;
    const CaptureTarget &target = s.captureTarget;
    if (target.isWholeScreen())
        rows.push_back({QStringLiteral("display"), displayName(s.selectedDisplayID)});
    else if (target.isWindow())
        rows.push_back({QStringLiteral("macwindow"), QStringLiteral("Window")});
    else
        rows.push_back({QStringLiteral("display"), QStringLiteral("Whole screen")});
    if (const auto camera = cameraName(s))
        rows.push_back({QStringLiteral("video.fill"), *camera});
    rows.push_back({QStringLiteral("mic.fill"), microphoneName(s)});
    if (s.systemAudio)
        rows.push_back({QStringLiteral("speaker.wave.2.fill"), QStringLiteral("System audio")});
    if (s.notice)
        rows.push_back({QString::fromLatin1(kNoticeSymbol), *s.notice});
    addKeysTheDesktopKeeps(s, rows);
    return rows;
}

std::vector<StatusAction> actions(const RecordingStatus &s)
{
    using SA = ShortcutAction;
    using C = StatusCommand;
    const auto act = [&s](C command, const char *label, SA action) {
        const QString keys = s.keysTheDesktopKeeps.count(action) ? QString() : keysFor(s, action);
        return StatusAction{command, QString::fromUtf8(label), keys, action};
    };
    switch (s.state) {
    case OverlayState::idle:
    case OverlayState::starting:
        return {act(C::startTake, "Start take", SA::endTake), act(C::nextScene, "Next scene", SA::nextScene)};
    case OverlayState::recording: {
        std::vector<StatusAction> list{act(C::pause, "Pause", SA::startPause), act(C::endTake, "End take", SA::endTake)};
        if (!s.tailOperationLive)
            list.push_back(act(C::endTakeAndNextScene, "End + next scene", SA::nextScene));
        return list;
    }
    case OverlayState::paused:
        return {act(C::resume, "Resume", SA::startPause), act(C::endTake, "End take", SA::endTake)};
    case OverlayState::reviewing:
        return {act(C::approveAndNewTake, "Approve + new take", SA::endTake),
                act(C::approveAndNewScene, "Approve + new scene", SA::nextScene),
                act(C::retake, "Retake", SA::retake)};
    }
    return {};
}

QString buttonText(const StatusAction &action)
{
    return action.keys.isEmpty() ? action.label : action.label + QStringLiteral(" (") + action.keys + QLatin1Char(')');
}

} // namespace status_card

// ---- the card ----

namespace {

QFont systemFont(int pixelSize, QFont::Weight weight, bool monospaced = false)
{
    QFont font = QGuiApplication::font();
    if (monospaced) {
        font.setFamily(QStringLiteral("monospace"));
        font.setStyleHint(QFont::Monospace);
    }
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

// Theme icons where the desktop has them, else a plain glyph.
QLabel *symbolLabel(const QString &symbol)
{
    struct Symbol {
        const char *name;
        const char *themeIcon;
        const char *glyph;
    };
    static const Symbol symbols[] = {
        {"display", "video-display", "\u25ad"},
        {"macwindow", "window", "\u2750"},
        {"video.fill", "camera-web", "\u25b6"},
        {"mic.fill", "audio-input-microphone", "\u25cf"},
        {"speaker.wave.2.fill", "audio-volume-high", "\u266b"},
        {kNoticeSymbol, "dialog-information", "!"},
    };
    auto *label = new QLabel;
    label->setFixedWidth(12);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(systemFont(9, QFont::Normal));
    label->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.7);"));
    for (const Symbol &s : symbols) {
        if (symbol != QLatin1String(s.name))
            continue;
        const QIcon icon = QIcon::fromTheme(QLatin1String(s.themeIcon));
        if (!icon.isNull())
            label->setPixmap(icon.pixmap(10, 10));
        else
            label->setText(QString::fromUtf8(s.glyph));
    }
    return label;
}

void clearLayout(QLayout *layout)
{
    while (QLayoutItem *item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

// A button's border and its padding beside the text, in pixels.
constexpr int kButtonBorder = 1;
constexpr int kButtonPadding = 8;
// The width a button's text has: the card's less its margins, the button's border and padding.
constexpr int kButtonTextWidth = RecordingStatusView::kWidth - 24 - 2 * (kButtonBorder + kButtonPadding);

// `text` in lines of at most `width` at `font`, broken between words, after a "+" of the keys,
// and within a word only where nothing else fits.
QStringList wrappedLines(const QString &text, const QFont &font, int width)
{
    const QChar breakHere(0x200B); // zero width space
    QString breakable = text;
    breakable.replace(QLatin1Char('+'), QStringLiteral("+") + breakHere);
    QTextLayout layout(breakable, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines << breakable.mid(line.textStart(), line.textLength()).remove(breakHere).trimmed();
    }
    layout.endLayout();
    return lines;
}

// A button's text as the button shows it, in the lines its width holds: on one line where it
// fits, else the label, then the keys. An "&" of a key's name is shown, not taken as a mnemonic.
QString buttonLines(const StatusAction &action, const QFont &font)
{
    QString text = status_card::buttonText(action);
    if (QFontMetrics(font).horizontalAdvance(text) > kButtonTextWidth) {
        QStringList lines = wrappedLines(action.label, font, kButtonTextWidth);
        if (!action.keys.isEmpty())
            lines << wrappedLines(QStringLiteral("(") + action.keys + QLatin1Char(')'), font, kButtonTextWidth);
        text = lines.join(QLatin1Char('\n'));
    }
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QRegion roundedRegion(const QRect &rect, double radius)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(rect), radius, radius);
    return QRegion(path.toFillPolygon().toPolygon());
}

} // namespace

RecordingStatusView::RecordingStatusView(QWidget *parent)
    : OverlayPanel(Style{Level::status, false, /*hasShadow*/ true, /*movableByBackground*/ true,
                         /*holdsKeyboardWhenClicked*/ true},
                   parent)
{
    setFixedWidth(kWidth);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(12, 10, 12, 10);
    column->setSpacing(6);
    column->setSizeConstraint(QLayout::SetFixedSize);

    m_header = new QWidget;
    auto *header = new QHBoxLayout(m_header);
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(8);
    m_dot = new QLabel;
    m_dot->setFixedSize(10, 10);
    m_title = new QLabel;
    m_title->setFont(systemFont(12, QFont::DemiBold));
    m_title->setStyleSheet(QStringLiteral("color: white;"));
    m_elapsed = new QLabel;
    m_elapsed->setFont(systemFont(12, QFont::Medium, true));
    m_elapsed->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.9);"));
    header->addWidget(m_dot);
    header->addWidget(m_title);
    header->addStretch(1);
    header->addWidget(m_elapsed);
    column->addWidget(m_header);

    m_rowsBox = new QWidget;
    auto *rows = new QVBoxLayout(m_rowsBox);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    column->addWidget(m_rowsBox);

    auto *divider = new QFrame;
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: rgba(255,255,255,0.25);"));
    column->addWidget(divider);

    m_buttonsBox = new QWidget;
    auto *buttons = new QVBoxLayout(m_buttonsBox);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(4);
    column->addWidget(m_buttonsBox);

    for (QWidget *w : {m_header, m_rowsBox, m_buttonsBox})
        w->setFixedWidth(kWidth - 24);
}

void RecordingStatusView::render(const RecordingStatus &status, const QDateTime &now)
{
    const QColor tint = overlayStateTint(status.state);
    m_dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 5px;").arg(tint.name()));
    m_title->setText(status_card::headerTitle(status));
    const auto elapsed = status.elapsedRecordingTime(now);
    m_elapsed->setVisible(elapsed.has_value());
    m_elapsed->setText(elapsed ? status_card::elapsedText(*elapsed) : QString());

    const auto rows = status_card::detailRows(status);
    if (rows != m_rows) {
        m_rows = rows;
        clearLayout(m_rowsBox->layout());
        for (const auto &row : m_rows) {
            auto *line = new QWidget;
            auto *layout = new QHBoxLayout(line);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->setSpacing(6);
            layout->addWidget(symbolLabel(row.symbol));
            auto *text = new QLabel;
            text->setFont(systemFont(10, QFont::Normal));
            text->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.8);"));
            // A notice is a sentence to read whole; the other rows are names, cut in the middle.
            if (row.symbol == QLatin1String(kNoticeSymbol)) {
                text->setWordWrap(true);
                text->setText(row.text);
            } else {
                text->setText(QFontMetrics(text->font()).elidedText(row.text, Qt::ElideMiddle, kWidth - 24 - 18));
            }
            layout->addWidget(text, 1);
            m_rowsBox->layout()->addWidget(line);
        }
    }

    const auto actions = status_card::actions(status);
    const bool same = actions.size() == m_actions.size()
        && std::equal(actions.begin(), actions.end(), m_actions.begin(), [](const auto &a, const auto &b) {
               return a.command == b.command && a.label == b.label && a.keys == b.keys;
           });
    if (!same) {
        m_actions = actions;
        clearLayout(m_buttonsBox->layout());
        for (const auto &action : m_actions) {
            const QFont font = systemFont(11, QFont::Medium);
            auto *button = new QPushButton(buttonLines(action, font));
            button->setObjectName(action.label);
            button->setFocusPolicy(Qt::NoFocus);
            button->setFlat(true);
            button->setFont(font);
            button->setStyleSheet(QStringLiteral("QPushButton { color: white; background: rgba(255,255,255,0.16);"
                                                 " border: %1px solid rgba(255,255,255,0.28); border-radius: 6px;"
                                                 " padding: 6px %2px; }"
                                                 "QPushButton:pressed { background: rgba(255,255,255,0.28); }")
                                      .arg(kButtonBorder)
                                      .arg(kButtonPadding));
            const StatusCommand command = action.command;
            connect(button, &QPushButton::clicked, this, [this, command] { emit commandRequested(command); });
            m_buttonsBox->layout()->addWidget(button);
        }
    }
    adjustSize();
}

QString RecordingStatusView::title() const { return m_title->text(); }

QString RecordingStatusView::elapsed() const { return m_elapsed->isHidden() ? QString() : m_elapsed->text(); }

bool RecordingStatusView::clickButton(const QString &label)
{
    auto *button = m_buttonsBox->findChild<QPushButton *>(label);
    if (!button)
        return false;
    button->click();
    return true;
}

void RecordingStatusView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!transparencyAvailable()) {
        // The shape cuts the corners; the colour is what the translucent card gives on grey.
        painter.fillRect(rect(), QColor(28, 28, 30));
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()), 10, 10);
    painter.fillPath(card, QColor(0, 0, 0, 199));
}

void RecordingStatusView::resizeEvent(QResizeEvent *event)
{
    OverlayPanel::resizeEvent(event);
    if (!transparencyAvailable())
        setMask(roundedRegion(rect(), 10));
}

// ---- RecordingStatusWindow ----

RecordingStatusWindow::RecordingStatusWindow(QObject *parent)
    : QObject(parent), m_clock([] { return QDateTime::currentDateTime(); })
{
    m_timer.setInterval(kRefreshMs);
    connect(&m_timer, &QTimer::timeout, this, &RecordingStatusWindow::refresh);
}

RecordingStatusWindow::~RecordingStatusWindow() { hide(); }

void RecordingStatusWindow::show()
{
    if (m_panel)
        return;
    auto *panel = new RecordingStatusView;
    connect(panel, &RecordingStatusView::commandRequested, this, &RecordingStatusWindow::commandRequested);
    panel->render(m_status, m_clock());
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect visible = screen->availableGeometry();
        panel->setScreen(screen);
        panel->move(int(std::lround(visible.x() + visible.width() * 0.5 - panel->width() * 0.5)),
                    visible.top() + kTopMargin);
    }
    panel->orderFrontRegardless();
    m_panel = panel;
    m_timer.start();
}

void RecordingStatusWindow::hide()
{
    m_timer.stop();
    if (m_panel) {
        m_panel->orderOut();
        delete m_panel.data();
    }
    m_panel = nullptr;
}

void RecordingStatusWindow::setStatus(RecordingStatus status)
{
    m_status = std::move(status);
    refresh();
}

std::optional<quint32> RecordingStatusWindow::windowID() const
{
    if (!m_panel)
        return std::nullopt;
    return m_panel->windowID();
}

void RecordingStatusWindow::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
    refresh();
}

void RecordingStatusWindow::refresh()
{
    if (m_panel)
        m_panel->render(m_status, m_clock());
}

} // namespace lumacast
