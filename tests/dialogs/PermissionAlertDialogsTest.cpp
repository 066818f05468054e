// The permission alert as the user meets it: a modal box with the coordinator's texts, whose
// buttons answer by their position and whose Escape key means "Cancel".
#include "dialogs/PermissionAlertDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

// Runs `act` on the alert once it is up; the box itself runs its own event loop.
void whenAlertIsUp(std::function<void(QMessageBox *)> act)
{
    QTimer::singleShot(0, [act = std::move(act)] {
        QMessageBox *alert = nullptr;
        for (int i = 0; i < 100 && !alert; ++i) {
            alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                QTest::qWait(20);
        }
        if (!alert) {
            ADD_FAILURE() << "no modal alert came up";
            return;
        }
        act(alert);
    });
}

} // namespace

TEST(PermissionAlertDialogsTest, ShowsTheTextsAndAnswersWithTheChosenButtonsPosition)
{
    const QStringList buttons{QStringLiteral("Open Settings"), QStringLiteral("Cancel")};
    PermissionAlertDialogs alerts;

    QString title, message;
    QStringList labels;
    whenAlertIsUp([&](QMessageBox *alert) {
        title = alert->text();
        message = alert->informativeText();
        for (QAbstractButton *button : alert->buttons())
            labels << button->text();
        EXPECT_EQ(alert->defaultButton()->text(), buttons[0]);
        alert->defaultButton()->click();
    });
    EXPECT_EQ(alerts.runModal(QStringLiteral("Microphone access required"),
                              QStringLiteral("Enable Microphone access."), buttons),
              0);
    EXPECT_EQ(title, QStringLiteral("Microphone access required"));
    EXPECT_EQ(message, QStringLiteral("Enable Microphone access."));
    labels.sort();
    EXPECT_EQ(labels, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Open Settings")}));

    whenAlertIsUp([](QMessageBox *alert) { QTest::keyClick(alert, Qt::Key_Escape); });
    EXPECT_EQ(alerts.runModal(QStringLiteral("Screen Recording access required"), QString(), buttons), 1);
}
