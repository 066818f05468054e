#include "app/ShellAdapters.h"

#include <QApplication>
#include <QGuiApplication>

namespace lumacast {

QtApplicationService::QtApplicationService(QObject *parent)
    : ApplicationService(parent)
{
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            emit becameActive();
        else
            emit resignedActive();
    });
}

bool QtApplicationService::isActive() const
{
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void QtApplicationService::activateIgnoringOtherApps()
{
    QWidget *target = QApplication::activeWindow();
    if (!target) {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            // Overlay panels are tool windows that must never take the focus.
            if (widget->isVisible() && !(widget->windowFlags() & Qt::Tool) && widget->windowType() == Qt::Window)
                target = widget;
        }
    }
    if (target) {
        target->raise();
        target->activateWindow();
    }
}

void QtApplicationService::replyToTermination(bool terminate)
{
    if (terminationHandler)
        terminationHandler(terminate);
}

} // namespace lumacast
