#pragma once

#include "capture/PermissionLayer.h"

#include <QPointer>
#include <QWidget>

namespace lumacast {

// The permission alerts as modal message boxes. The first button is the default one; a button
// named "Cancel" is also the one that Escape and closing the box choose. Each holds the shared
// interaction gate from its asking to its answer.
class PermissionAlertDialogs : public PermissionAlerts {
public:
    // `parent` (optional) is the window the alerts belong to.
    explicit PermissionAlertDialogs(QWidget *parent = nullptr);

    // The index of the chosen button, or -1 when the box was closed without choosing one.
    int runModal(const QString &title, const QString &message, const QStringList &buttons) override;
    void openPrivacySettings() override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace lumacast
