#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

namespace lumacast {
class AppStateManager;
}

namespace lumacast::review {

class ReviewMainWindowHandle;

// Stands between the review window's close button and the window: every close request is put
// to `shouldClose` first (the state manager's answer), and a refused request leaves the window
// open. Attaching also registers the window as the state manager's main window.
//
// Main thread only. Attaching again to the same window changes nothing; attaching to another
// window leaves the first one alone. The guard is owned by the window it watches.
class WindowCloseGuard final : public QObject {
    Q_OBJECT
public:
    WindowCloseGuard(AppStateManager &manager, std::function<bool()> shouldClose, QObject *parent = nullptr);

    void attach(QWidget *window);
    QWidget *attached() const { return m_attached; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    AppStateManager &m_manager;
    std::function<bool()> m_shouldClose;
    QPointer<QWidget> m_attached;
    QPointer<ReviewMainWindowHandle> m_handle;
};

} // namespace lumacast::review
