#pragma once

#include <QDBusConnection>
#include <QList>
#include <QRect>
#include <QString>

#include <chrono>
#include <optional>

// One program's accessibility tree, read over AT-SPI as a screen reader reads it: the
// accessibility bus's address from the session bus (org.a11y.Bus), the program's connection on
// that bus found by its process id, then its objects through org.a11y.atspi.Accessible and
// org.a11y.atspi.Component. Read-only.
//
// Main thread only, and a QCoreApplication must exist. Every call blocks for at most a few
// seconds; failure (no bus, the program gone, an object destroyed meanwhile) gives an empty
// result, never an exception.
class AccessibilityTree {
public:
    struct Node {
        QString path;  // object path on the program's connection
        QString role;  // AT-SPI role name: "push button", "menu item", "slider", "tree item", ...
        QString name;
        QRect extents; // screen coordinates
    };

    // `sessionBus`: the address of the D-Bus session bus the program was started on.
    AccessibilityTree(const QString &sessionBus, qint64 pid);
    ~AccessibilityTree();
    AccessibilityTree(const AccessibilityTree &) = delete;
    AccessibilityTree &operator=(const AccessibilityTree &) = delete;

    // True once the program answers on the accessibility bus; waits up to `timeout`.
    bool attach(std::chrono::milliseconds timeout);

    std::optional<Node> root() const;
    // Only the children on screen (AT-SPI's "showing" state).
    QList<Node> children(const Node &node) const;
    // Depth-first through the objects on screen under `under` (the whole program when absent):
    // the first with this role and name.
    std::optional<Node> find(const QString &role, const QString &name, const std::optional<Node> &under = {}) const;
    // find() again and again until it answers or `timeout` passes.
    std::optional<Node> waitFor(const QString &role, const QString &name, std::chrono::milliseconds timeout,
                                const std::optional<Node> &under = {}) const;
    // Every object on screen, one a line, indented by depth: role 'name' x,y wxh.
    QString dump() const;

private:
    std::optional<Node> node(const QString &path) const;
    QList<QString> childPaths(const QString &path) const;
    bool showing(const QString &path) const;
    void dump(const Node &node, int depth, QString &out) const;

    QString m_connectionName;
    QString m_sessionAddress;
    qint64 m_pid = 0;
    std::optional<QDBusConnection> m_bus; // the accessibility bus, once attached
    QString m_service;                    // the program's unique name on it
};
