#pragma once

#include "store/InteractionGate.h"
#include "store/Shortcut.h"

#include <QEvent>
#include <QObject>

#include <functional>
#include <map>

class QWidget;

namespace lumacast {

// Holds the interaction gate as asked while any menu, file panel or modal dialog of the
// application is shown, whoever made it: the menu bar's and the XEmbed tray's menus, Qt's own
// questions inside a file panel. Each runs a loop of its own or waits for the user, and a command
// arriving meanwhile must wait for it. Every question the program asks itself (an alert, the
// outline's menu, a panel, the window picker) holds the gate on its own from its asking to its
// answer; this watch is the net under them. A window is shown from its show() to its hide() or
// its end: minimized, or gone with the window it stands over, it is still up. The review window's
// sheets are not questions (they stand for the tail or the export under way) and are left out. A
// hot key's chord pressed in one of them goes nowhere: a menu would take its Return for the
// highlighted entry, a dialog for its default button. Installed on the application once; main
// thread only.
class InteractionWatch final : public QObject {
public:
    // `bindings` gives the hot keys as they are now.
    InteractionWatch(InteractionGate &gate, std::function<ShortcutBindings()> bindings, QObject *parent = nullptr);
    ~InteractionWatch() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static bool asks(const QWidget *widget);
    void follow(QWidget *widget, QEvent::Type type);
    void forget(QObject *widget);
    bool isHotKeyInHeldWindow(QObject *watched, QEvent *event) const;

    InteractionGate &m_gate;
    std::function<ShortcutBindings()> m_bindings;
    std::map<const QObject *, InteractionGate::Hold> m_holds;
};

} // namespace lumacast
