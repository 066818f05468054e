#include "app/settings/ShortcutRecorderField.h"

#include "platform/x11/KeyNames.h"

#include <QApplication>
#include <QGuiApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include <algorithm>
#include <memory>

namespace lumacast {

namespace {

// Virtual key codes 54 to 63 are the modifier keys (both commands, shifts, options, controls,
// Caps Lock and Fn): pressed alone they never make a shortcut.
constexpr quint32 kFirstModifierKeyCode = 54;
constexpr quint32 kLastModifierKeyCode = 63;

// X key-event state bits of the modifiers the hot-key layer grabs with.
constexpr quint32 kXShift = 0x1;
constexpr quint32 kXControl = 0x4;
constexpr quint32 kXMod1 = 0x8;  // Alt: option
constexpr quint32 kXMod3 = 0x20; // Level 5 or Hyper where a keymap gives them a modifier of their own
constexpr quint32 kXMod4 = 0x40; // Super: command
constexpr quint32 kXMod5 = 0x80; // AltGr (ISO Level 3)

// X keysyms of the modifier keys: Shift_L to Hyper_R, the ISO level and group keys,
// Mode_switch and Num Lock. Qt has no key for some of them (Level 5).
bool isModifierSymbol(quint32 keysym)
{
    return (keysym >= 0xffe1 && keysym <= 0xffee) || (keysym >= 0xfe01 && keysym <= 0xfe13)
        || keysym == 0xff7e || keysym == 0xff7f;
}

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

// The X server's keymap, when the application runs on one: the layout the key names already
// use when it is an X layout, else a connection of our own, made once.
std::shared_ptr<const x11::XkbKeyboardLayout> xkbLayout()
{
    if (auto installed =
            std::dynamic_pointer_cast<const x11::XkbKeyboardLayout>(ShortcutBinding::keyboardLayout()))
        return installed;
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    static const std::shared_ptr<const x11::XkbKeyboardLayout> own = x11::XkbKeyboardLayout::connect();
    return own;
}

// Key codes of Qt keys that type no character; the others are found by what they type on a
// US keyboard.
std::optional<quint32> keyCodeForQtKey(int key)
{
    if (const auto named = ShortcutBinding::keyCodeForMenuKey(static_cast<Qt::Key>(key)))
        return named;
    if (key < 0x21 || key > 0x7e)
        return std::nullopt;
    const QString wanted = QString(QChar(key)).toLower();
    const UsKeyboardLayout us;
    for (quint32 code = 0; code < 0x80; ++code) {
        if (us.characterForKeyCode(code) == wanted)
            return code;
    }
    return std::nullopt;
}

// At most one field records at a time: each watches every key press of the application, and the
// one that started last would take the keys and leave the other recording with the hot keys back.
QPointer<ShortcutRecorderField> recordingField;

} // namespace

ShortcutRecorderField::ShortcutRecorderField(QWidget *parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
    setFocusPolicy(Qt::ClickFocus);
    setCursor(Qt::PointingHandCursor);
}

ShortcutRecorderField::~ShortcutRecorderField()
{
    if (m_recording)
        finishRecording(true);
}

void ShortcutRecorderField::setBinding(const std::optional<ShortcutBinding> &binding)
{
    if (m_recording)
        return;
    m_binding = binding;
    setFixedSize(sizeHint());
    update();
}

QSize ShortcutRecorderField::sizeHint() const
{
    constexpr int kWidth = 160;
    constexpr int kPadding = 24;
    if (!m_binding)
        return {kWidth, 24};
    QFont font = this->font();
    font.setWeight(QFont::Medium); // as drawn
    const int needed = QFontMetrics(font).horizontalAdvance(
                           ShortcutBinding::displayString(m_binding->carbonKeyCode, m_binding->carbonModifiers))
        + kPadding;
    return {std::max(kWidth, needed), 24};
}

std::optional<ShortcutAction> ShortcutRecorderField::recorderDidRecord(const ShortcutBinding &binding)
{
    if (onConflict) {
        if (const std::optional<ShortcutAction> conflict = onConflict(binding))
            return conflict;
    }
    if (onSave)
        onSave(binding);
    return std::nullopt;
}

ShortcutRecorderField::KeyOutcome ShortcutRecorderField::interpretKey(std::optional<quint32> keyCode,
                                                                      Modifiers modifiers,
                                                                      const QString &character)
{
    if (keyCode && *keyCode == key_code::escape)
        return {KeyOutcome::cancel, {}, {}};
    if (keyCode && *keyCode >= kFirstModifierKeyCode && *keyCode <= kLastModifierKeyCode)
        return {};
    if (!keyCode)
        return {KeyOutcome::refuse, {}, QStringLiteral("This key can't be part of a shortcut")};
    // The hot key would grab the key without it, on the whole display.
    if (modifiers.altGr)
        return {KeyOutcome::refuse, {}, QStringLiteral("AltGr can't be part of a shortcut")};
    if (modifiers.other || modifiers.groupSwitch)
        return {KeyOutcome::refuse, {}, QStringLiteral("Only Shift, Ctrl, Alt and Super can be part of a shortcut")};

    ShortcutBinding binding;
    binding.carbonKeyCode = *keyCode;
    if (modifiers.command) {
        binding.carbonModifiers |= carbon_modifier::command;
        binding.eventModifiers |= event_modifier::command;
    }
    if (modifiers.shift) {
        binding.carbonModifiers |= carbon_modifier::shift;
        binding.eventModifiers |= event_modifier::shift;
    }
    if (modifiers.option) {
        binding.carbonModifiers |= carbon_modifier::option;
        binding.eventModifiers |= event_modifier::option;
    }
    if (modifiers.control) {
        binding.carbonModifiers |= carbon_modifier::control;
        binding.eventModifiers |= event_modifier::control;
    }
    // Keys that type nothing a menu could show (F5, Page Up) are stored under their own
    // equivalents, a dead key under its accent; "?" would make two such bindings one menu key.
    if (const std::optional<QString> named = ShortcutBinding::keyEquivalentForKeyCode(*keyCode))
        binding.keyEquivalent = *named;
    else
        binding.keyEquivalent = character.isEmpty() ? binding.currentKeyEquivalent() : character.toLower();
    return {KeyOutcome::record, binding, {}};
}

std::optional<quint32> ShortcutRecorderField::keyCodeOf(const QKeyEvent &event)
{
    if (event.nativeScanCode() != 0) {
        if (const auto layout = xkbLayout())
            return layout->keyCodeForX11Keycode(event.nativeScanCode());
    }
    return keyCodeForQtKey(event.key());
}

ShortcutRecorderField::Modifiers ShortcutRecorderField::modifiersOf(const QKeyEvent &event)
{
    if (event.nativeScanCode() != 0) {
        const quint32 state = event.nativeModifiers();
        Modifiers held{bool(state & kXMod4),    bool(state & kXShift), bool(state & kXMod1),
                       bool(state & kXControl), bool(state & kXMod5),  bool(state & kXMod3)};
        // Whichever modifier the keymap gives Level 5, a Hyper or another shift of its own, and
        // a group switch: the hot key would grab the key without them.
        if (const auto layout = xkbLayout()) {
            const x11::XkbKeyboardLayout::Unbindable unbindable = layout->unbindable(state);
            held.other = held.other || (unbindable.modifiers & ~kXMod5) != 0;
            held.groupSwitch = unbindable.groupSwitch;
        }
        return held;
    }
    const Qt::KeyboardModifiers qt = event.modifiers();
    return {qt.testFlag(Qt::MetaModifier),    qt.testFlag(Qt::ShiftModifier),
            qt.testFlag(Qt::AltModifier),     qt.testFlag(Qt::ControlModifier),
            qt.testFlag(Qt::GroupSwitchModifier), false};
}

void ShortcutRecorderField::startRecording()
{
    if (recordingField && recordingField != this)
        recordingField->finishRecording();
    recordingField = this;
    m_recording = true;
    if (onRecordingStarted)
        onRecordingStarted();
    qApp->installEventFilter(this);
    update();
}

void ShortcutRecorderField::finishRecording(bool destroying)
{
    m_recording = false;
    if (recordingField == this)
        recordingField = nullptr;
    qApp->removeEventFilter(this);
    if (onRecordingStopped)
        onRecordingStopped();
    if (destroying)
        return;
    update();
    emit recordingEnded();
}

void ShortcutRecorderField::handleKeyPress(const QKeyEvent &event)
{
    if (isModifierKey(event.key()) || (event.nativeScanCode() != 0 && isModifierSymbol(event.nativeVirtualKey())))
        return;
    const std::optional<quint32> keyCode = keyCodeOf(event);
    // What the key types with no modifier, in the layout its key code came through.
    QString character;
    if (keyCode) {
        const auto xkb = event.nativeScanCode() != 0 ? xkbLayout() : nullptr;
        const std::optional<QString> typed = xkb ? xkb->characterForKeyCode(*keyCode)
                                                 : ShortcutBinding::keyboardLayout()->characterForKeyCode(*keyCode);
        character = typed.value_or(QString());
    }
    const KeyOutcome outcome = interpretKey(keyCode, modifiersOf(event), character);
    switch (outcome.kind) {
    case KeyOutcome::keepRecording:
        return;
    case KeyOutcome::cancel:
        finishRecording();
        return;
    case KeyOutcome::refuse:
        // Stopped first: the owner's answer may show the binding again.
        finishRecording();
        if (onRefused)
            onRefused(outcome.reason);
        return;
    case KeyOutcome::record:
        // The owner's answer (accepted or refused) does not change what happens here: an
        // accepted binding comes back through setBinding.
        recorderDidRecord(outcome.binding);
        finishRecording();
        return;
    }
}

bool ShortcutRecorderField::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_recording)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Claimed, so no menu or widget shortcut acts on the combination; the key press that
        // follows is ours.
        event->accept();
        return true;
    case QEvent::KeyPress:
        handleKeyPress(static_cast<const QKeyEvent &>(*event));
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void ShortcutRecorderField::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (!m_recording)
        startRecording();
}

void ShortcutRecorderField::hideEvent(QHideEvent *event)
{
    // Closing the window must not leave the global hot keys suspended.
    if (m_recording)
        finishRecording();
    QWidget::hideEvent(event);
}

void ShortcutRecorderField::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette &pal = palette();
    const QRectF frame = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(frame, 6, 6);
    if (m_recording) {
        QColor fill = pal.color(QPalette::Highlight);
        fill.setAlphaF(0.15f);
        painter.fillPath(path, fill);
        painter.setPen(QPen(pal.color(QPalette::Highlight), 1.5));
    } else {
        painter.fillPath(path, pal.color(QPalette::Base));
        painter.setPen(QPen(pal.color(QPalette::Mid), 1));
    }
    painter.drawPath(path);

    QFont font = this->font();
    QString text;
    if (m_recording) {
        painter.setPen(pal.color(QPalette::PlaceholderText));
        text = QStringLiteral("Press shortcut…");
    } else {
        font.setWeight(QFont::Medium);
        painter.setPen(pal.color(QPalette::WindowText));
        text = m_binding ? ShortcutBinding::displayString(m_binding->carbonKeyCode, m_binding->carbonModifiers)
                         : QStringLiteral("None");
    }
    painter.setFont(font);
    painter.drawText(rect(), Qt::AlignCenter, text);
}

} // namespace lumacast
