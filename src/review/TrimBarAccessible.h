#pragma once

#include "review/TrimHandle.h"

#include <QAccessibleWidget>

#include <array>

namespace lumacast::review {

class TrimBar;

// The trim bar as assistive tools see it: its child widgets (play/pause, "Re-record"), then its
// two painted handles as sliders named "Trim start" and "Trim end", each with its rectangle on
// screen and its time ("m:ss.t") as value text. Read-only: the handles are moved with the mouse
// or the review window's trim keys.
//
// Main thread only. Qt's accessibility cache owns this interface and deletes it with the bar;
// the handles' interfaces are registered in that cache and deleted with this one.
class TrimBarAccessible : public QAccessibleWidget {
public:
    explicit TrimBarAccessible(TrimBar *bar);
    ~TrimBarAccessible() override;

    // Makes Qt build this interface for every TrimBar; once per process, idempotent.
    static void installFactory();

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;

private:
    int widgetChildCount() const;
    QAccessibleInterface *handle(TrimHandle which) const;

    mutable std::array<QAccessible::Id, 2> m_handles{}; // 0 until asked for
};

} // namespace lumacast::review
