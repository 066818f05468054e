#include "store/FilePanelGuard.h"

namespace lumacast {

FilePanelGuard &FilePanelGuard::shared()
{
    static FilePanelGuard *instance = new FilePanelGuard;
    return *instance;
}

void FilePanelGuard::setPresenting(bool presenting)
{
    if (m_isPresenting == presenting)
        return;
    m_isPresenting = presenting;
    emit isPresentingChanged(presenting);
}

void FilePanelGuard::setCurrent(FilePanel *panel)
{
    QObject::disconnect(m_destroyedConnection);
    m_current = panel;
    if (panel) {
        // A panel that goes away without answering (its parent window closed, say) must not
        // leave the menus believing a panel is still up.
        m_destroyedConnection =
            connect(panel, &QObject::destroyed, this, &FilePanelGuard::panelDestroyed);
    }
}

void FilePanelGuard::panelDestroyed()
{
    m_destroyedConnection = {};
    m_current = nullptr;
    if (m_completion) {
        finish(false, {});
    } else {
        setPresenting(false);
    }
}

void FilePanelGuard::finish(bool accepted, const QStringList &selection)
{
    QObject::disconnect(m_finishedConnection);
    Completion completion = std::move(m_completion);
    m_completion = nullptr;
    // The guard is cleared before the answer is acted on, so that the completion may itself
    // ask for the next panel.
    setCurrent(nullptr);
    setPresenting(false);
    if (completion)
        completion(accepted, selection);
}

bool FilePanelGuard::present(FilePanel *panel, Completion completion)
{
    if (!panel)
        return false;
    if (FilePanel *up = current()) {
        up->bringToFront();
        if (panel != up)
            panel->deleteLater();
        return false;
    }
    setCurrent(panel);
    setPresenting(true);
    m_completion = completion ? std::move(completion) : Completion([](bool, const QStringList &) {});
    m_finishedConnection = connect(panel, &FilePanel::finished, this, &FilePanelGuard::finish);
    panel->showPanel();
    return true;
}

} // namespace lumacast
