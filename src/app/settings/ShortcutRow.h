#pragma once

#include "store/Shortcut.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>

class QLabel;

namespace lumacast {

class Preferences;
class SettingsHost;
class ShortcutRecorderField;

// One line of the "Keyboard Shortcuts" box: the action's title, a recorder field, and under
// them a warning when the last recorded combination clashes with another action or may clash
// with other applications. An accepted combination is stored in the preferences
// ("customShortcuts") and the host registers the global hot keys again; while the field records,
// the global hot keys are released so the combination being pressed fires nothing.
//
// Main thread only. The row follows the host's `settingsChanged` to show the effective binding;
// its warning starts empty and changes only when a combination is recorded.
class ShortcutRow : public QWidget {
    Q_OBJECT
public:
    ShortcutRow(ShortcutAction action, SettingsHost &host, Preferences &preferences,
                QWidget *parent = nullptr);

    ShortcutAction action() const { return m_action; }
    std::optional<QString> warning() const { return m_warning; }
    ShortcutRecorderField *recorderField() const { return m_field; }

    // The title shown for an action.
    static QString title(ShortcutAction action);
    // `bindings[action]`, else the action's default binding.
    static ShortcutBinding effectiveBinding(const ShortcutBindings &bindings, ShortcutAction action);

    struct Check {
        std::optional<ShortcutAction> conflict; // the combination is refused when present
        std::optional<QString> warning;
    };
    // Decides on a combination recorded in `action`'s row: the first other action, in case
    // order, whose effective binding has the same key code and modifier mask refuses it ("Already
    // used by " and its title); otherwise it is accepted, with the warning "May conflict with
    // other apps during presentation" unless it holds both command and shift.
    static Check check(ShortcutAction action, const ShortcutBinding &recorded, const ShortcutBindings &bindings);

private:
    void refresh();
    std::optional<ShortcutAction> conflictCheck(const ShortcutBinding &recorded);
    void save(const ShortcutBinding &binding);
    void showWarning();

    const ShortcutAction m_action;
    QPointer<SettingsHost> m_host;
    Preferences &m_preferences; // outlives every window (the shared instance, or a test's)
    std::optional<QString> m_warning;
    ShortcutRecorderField *m_field = nullptr;
    QLabel *m_warningLabel = nullptr;
};

} // namespace lumacast
