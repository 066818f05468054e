#include "dialogs/FrontWindow.h"

#include <QList>
#include <QWidget>

namespace lumacast {

void FrontWindow::bring(QWidget *window)
{
    if (!window)
        return;
    QList<QWidget *> chain; // the window, then the windows it stands over
    for (QWidget *w = window->window(); w && !chain.contains(w); w = w->parentWidget() ? w->parentWidget()->window() : nullptr)
        chain << w;
    // The outermost first, so that the question comes back above the window it stands over.
    for (auto w = chain.rbegin(); w != chain.rend(); ++w) {
        if ((*w)->isVisible() && (*w)->isMinimized())
            (*w)->setWindowState((*w)->windowState() & ~Qt::WindowMinimized);
    }
    window->raise();
    window->activateWindow();
}

} // namespace lumacast
