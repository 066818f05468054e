#pragma once

#include "store/Shortcut.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QKeyEvent;

namespace lumacast {

// A small clickable field that shows a global shortcut and records a new one: a click starts
// recording, the next key combination pressed anywhere in the application is turned into a
// `ShortcutBinding` and offered to the owner, Escape gives up. While recording, the field
// watches every key press of the application (an application-wide event filter) and swallows
// them, so no other widget or menu shortcut sees the combination.
//
// Main thread only. The callbacks are the owner's and may hold no strong reference to anything
// that can die before the field (they run from the field's destructor too).
class ShortcutRecorderField : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutRecorderField(QWidget *parent = nullptr);
    // Still recording: stops, which calls `onRecordingStopped` (the global hot keys come back).
    ~ShortcutRecorderField() override;

    // Returns the action that already owns the combination, or nothing to accept it.
    std::function<std::optional<ShortcutAction>(const ShortcutBinding &)> onConflict;
    // An accepted combination.
    std::function<void(const ShortcutBinding &)> onSave;
    // A combination no binding can hold, with the reason to show; recording has stopped.
    std::function<void(const QString &reason)> onRefused;
    // Recording begins (the owner suspends the global hot keys) and ends, however it ends:
    // a key, Escape, the window hidden or the field destroyed.
    std::function<void()> onRecordingStarted;
    std::function<void()> onRecordingStopped;

    // The binding shown; ignored while recording (the shown binding is left alone then). An
    // accepted combination is shown only once the owner sets it here.
    void setBinding(const std::optional<ShortcutBinding> &binding);
    std::optional<ShortcutBinding> binding() const { return m_binding; }
    bool isRecording() const { return m_recording; }

    // Offers a recorded combination to the owner: the conflicting action when `onConflict`
    // names one (then nothing is saved), else `onSave` runs and the answer is nothing.
    std::optional<ShortcutAction> recorderDidRecord(const ShortcutBinding &binding);

    // The modifiers held with a key, as the hot-key layer maps them: Super is command, Alt is
    // option. AltGr (ISO Level 3), a layout group switch held or latched (Mode_switch,
    // ISO_Group_Shift) and the others a binding cannot hold (Level 5, a Hyper of its own) are
    // told apart only to be refused.
    struct Modifiers {
        bool command = false;
        bool shift = false;
        bool option = false;
        bool control = false;
        bool altGr = false;
        bool other = false;
        bool groupSwitch = false;
    };
    // What one key press means while recording.
    struct KeyOutcome {
        enum Kind { keepRecording, cancel, record, refuse } kind = keepRecording;
        ShortcutBinding binding; // for `record`
        QString reason;          // for `refuse`
    };
    // `keyCode` is the virtual key code of the pressed key, nothing for a key that has none;
    // `character` what the key types with no modifier held (empty when nothing). Escape
    // cancels; modifier keys alone keep recording; a key without a code, or one held with a
    // modifier a binding cannot hold, is refused with the reason; any other key is recorded,
    // with or without modifiers.
    static KeyOutcome interpretKey(std::optional<quint32> keyCode, Modifiers modifiers,
                                   const QString &character);

    // The virtual key code and modifiers of a Qt key event: from the X keycode and state of a
    // real X event through the server's keymap, else from Qt's key and modifiers on a US
    // layout.
    static std::optional<quint32> keyCodeOf(const QKeyEvent &event);
    static Modifiers modifiersOf(const QKeyEvent &event);

    // 160 wide, wider when the binding's words need it ("Shift+Ctrl+Alt+Super+Space").
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // Recording ended by a key, Escape or the window hidden (not by destruction): the owner
    // shows its current binding again.
    void recordingEnded();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void startRecording();
    // `destroying`: called from the destructor, when the owner may be half gone.
    void finishRecording(bool destroying = false);
    void handleKeyPress(const QKeyEvent &event);

    std::optional<ShortcutBinding> m_binding;
    bool m_recording = false;
};

} // namespace lumacast
