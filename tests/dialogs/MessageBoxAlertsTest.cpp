// An alert's texts come from file names, error messages and a remote update feed: none of them
// may turn into a link that opens something.
#include "dialogs/MessageBoxAlerts.h"
#include "support/TestEnvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace lumacast;
using lumacast::testing::runProcess;

TEST(MessageBoxAlertsTest, TextsAreShownAsTypedAndNoLinkOpens)
{
    const QString link = QStringLiteral("<a href=\"file:///etc/passwd\">Download</a>");
    QStringList shown;
    bool linksOpen = false;
    bool richText = false;
    bool cameUp = false;
    // Polled from the alert's own event loop. An alert that never comes up as the modal widget
    // still ends: whatever dialog is up is rejected after a while, so the run returns and the test
    // fails instead of waiting for ever.
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!alert) {
            if (waited.elapsed() < 5000)
                return;
            poll.stop();
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (auto *dialog = qobject_cast<QDialog *>(window); dialog && dialog->isVisible())
                    dialog->reject();
            }
            return;
        }
        poll.stop();
        cameUp = true;
        for (QLabel *label : alert->findChildren<QLabel *>()) {
            if (label->text().isEmpty())
                continue;
            shown << label->text();
            linksOpen = linksOpen || label->openExternalLinks();
            richText = richText || label->textFormat() != Qt::PlainText;
        }
        if (alert->buttons().isEmpty())
            alert->done(0);
        else
            alert->buttons().first()->click();
    });
    poll.start();
    MessageBoxAlerts alerts;
    alerts.runModal(AlertRequest{link, QStringLiteral("Get it from ") + link, AlertStyle::informational, {}});
    poll.stop();
    ASSERT_TRUE(cameUp) << "no modal alert came up";
    EXPECT_TRUE(shown.contains(link));
    EXPECT_TRUE(shown.contains(QStringLiteral("Get it from ") + link));
    EXPECT_FALSE(linksOpen);
    EXPECT_FALSE(richText);
}

// The hot keys are let go while an alert is up, so their chords reach it as plain key presses:
// a real press of one must answer nothing, while Return still picks the default choice (0). The
// test closes an alert still up with its last button (1).
TEST(MessageBoxAlertsTest, AHotKeyNeverAnswers)
{
    const std::pair<const char *, int> presses[] = {
        {"shift+super+Return", 1}, {"shift+super+KP_Enter", 1}, {"shift+super+space", 1}, {"Return", 0}};
    MessageBoxAlerts alerts;
    ShortcutBindings bindings;
    for (ShortcutAction action : shortcut_action::allCases)
        bindings.emplace(action, defaultBinding(action));
    alerts.withholdHotKeys(bindings);
    for (const auto &[keys, answer] : presses) {
        SCOPED_TRACE(keys);
        QTimer::singleShot(0, [keys = keys] {
            QWidget *alert = nullptr;
            for (int i = 0; i < 100 && !(alert && alert->isActiveWindow()); ++i) {
                alert = QApplication::activeModalWidget();
                QTest::qWait(20);
            }
            ASSERT_TRUE(alert && alert->isActiveWindow()) << "no alert came up";
            ASSERT_TRUE(runProcess("xdotool", {"key", keys}).ok());
            QTest::qWait(300);
            if (alert == QApplication::activeModalWidget())
                qobject_cast<QMessageBox *>(alert)->buttons().last()->click();
        });
        const AlertRequest question{"Record a destructive tail?", {}, AlertStyle::warning, {"Record Tail", "Cancel"}};
        EXPECT_EQ(alerts.runModal(question), answer);
    }
}
