#pragma once

#include "control/ShellServices.h"

#include <QPointer>
#include <QWidget>

namespace lumacast::review {

// The review window as the state manager's main window: minimized while a take is recorded,
// brought back afterwards. Once the window is gone every call does nothing and it reads as
// neither visible nor minimized.
//
// Main thread only.
class ReviewMainWindowHandle final : public MainWindowHandle {
    Q_OBJECT
public:
    explicit ReviewMainWindowHandle(QWidget *window);

    bool isVisible() const override;
    bool isMinimized() const override;
    void minimize() override;
    void restore() override;

private:
    QPointer<QWidget> m_window;
};

} // namespace lumacast::review
