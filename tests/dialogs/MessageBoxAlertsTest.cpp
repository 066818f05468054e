// An alert's texts come from file names, error messages and a remote update feed: none of them
// may turn into a link that opens something.
#include "dialogs/MessageBoxAlerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace lumacast;

TEST(MessageBoxAlertsTest, TextsAreShownAsTypedAndNoLinkOpens)
{
    const QString link = QStringLiteral("<a href=\"file:///etc/passwd\">Download</a>");
    QStringList shown;
    bool linksOpen = false;
    bool richText = false;
    QTimer::singleShot(0, [&] {
        QMessageBox *alert = nullptr;
        for (int i = 0; i < 100 && !alert; ++i) {
            alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                QTest::qWait(20);
        }
        ASSERT_TRUE(alert) << "no modal alert came up";
        for (QLabel *label : alert->findChildren<QLabel *>()) {
            if (label->text().isEmpty())
                continue;
            shown << label->text();
            linksOpen = linksOpen || label->openExternalLinks();
            richText = richText || label->textFormat() != Qt::PlainText;
        }
        alert->buttons().first()->click();
    });
    MessageBoxAlerts alerts;
    alerts.runModal(AlertRequest{link, QStringLiteral("Get it from ") + link, AlertStyle::informational, {}});
    EXPECT_TRUE(shown.contains(link));
    EXPECT_TRUE(shown.contains(QStringLiteral("Get it from ") + link));
    EXPECT_FALSE(linksOpen);
    EXPECT_FALSE(richText);
}
