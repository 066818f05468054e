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
// application is on screen, whoever made it: the outline's context menu and its alerts, the menu
// bar's and the tray's menus, the permission alerts, a file panel and its replace question, the
// window picker. Each runs
// a loop of its own or waits for the user, and a command arriving meanwhile must wait for it.
// The review window's sheets are not questions (they stand for the tail or the export under way)
// and are left out. A hot key's chord pressed in one of them goes nowhere: a menu would take its
// Return for the highlighted entry, a dialog for its default button. Installed on the
// application once; main thread only.
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
