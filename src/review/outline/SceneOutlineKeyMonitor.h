#pragma once

#include <QObject>
#include <QPointer>

namespace lumacast {

class SceneOutline;

// Routes key presses of the outline's window to the outline: while the outline is shown, that
// window is active and its focus is on a widget that is neither a text field nor the outline, a
// key press moves the focus to the outline and is handled by the outline's key map only (also
// while the outline is disabled by a live tail, when it cannot hold the focus). Text fields (a rename
// field included) and the outline itself get their keys as usual.
// An application-wide event filter, main thread; it lives as long as its outline.
class SceneOutlineKeyMonitor : public QObject {
    Q_OBJECT
public:
    explicit SceneOutlineKeyMonitor(SceneOutline *outline);
    ~SceneOutlineKeyMonitor() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<SceneOutline> m_outline;
};

} // namespace lumacast
