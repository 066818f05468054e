// The export window against a host whose session the tests change: rows, total, warning and the
// "Export Video" button, under the rig's X server.
#include "dialogs/ExportSummaryWindow.h"
#include "support/SessionRecords.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace lumacast;
using lumacast::testing::makeCheckedScene;
using lumacast::testing::makeTrimmedTake;

namespace {

class ScriptedHost : public ExportHost {
public:
    std::optional<Session> session;
    std::function<void()> onExport;
    int exports = 0;

    std::optional<Session> currentSession() const override { return session; }
    int selectedTakeCount() const override { return checkedTakeCount(session); }
    void exportVideo() override
    {
        ++exports;
        if (onExport)
            onExport();
    }

    void publish(std::optional<Session> next)
    {
        session = std::move(next);
        emit currentSessionChanged();
    }
};

Take take(double trimStart, double trimEnd, std::optional<QString> name = std::nullopt)
{
    return makeTrimmedTake(
        QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".mov"), trimEnd + 1,
        trimStart, trimEnd, std::move(name));
}

Session sessionOf(QList<RecordingScene> scenes)
{
    Session s(QStringLiteral("/tmp/unused"));
    s.scenes = std::move(scenes);
    return s;
}

class ExportSummaryWindowTest : public ::testing::Test {
protected:
    ScriptedHost host;

    // The texts of the labels with this object name, in row order.
    static QStringList texts(const QWidget &window, const QString &name)
    {
        QStringList result;
        for (const QLabel *label : window.findChildren<QLabel *>(name))
            result << label->text();
        return result;
    }
    static QPushButton *button(const QWidget &window, const QString &name)
    {
        return window.findChild<QPushButton *>(name);
    }
};

TEST_F(ExportSummaryWindowTest, WithoutASessionOnlyTheTitleAndADisabledExportShow)
{
    ExportSummaryWindow window(host);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Export"));
    EXPECT_EQ(window.objectName(), QStringLiteral("export"));
    EXPECT_EQ(texts(window, QStringLiteral("title")), QStringList{QStringLiteral("Export Summary")});
    EXPECT_EQ(window.findChild<QWidget *>(QStringLiteral("summary")), nullptr);
    EXPECT_TRUE(texts(window, QStringLiteral("warning")).isEmpty());
    EXPECT_TRUE(texts(window, QStringLiteral("total")).isEmpty());
    ASSERT_TRUE(button(window, QStringLiteral("cancelButton")));
    EXPECT_TRUE(button(window, QStringLiteral("cancelButton"))->isEnabled());
    EXPECT_FALSE(button(window, QStringLiteral("exportButton"))->isEnabled());
    EXPECT_EQ(button(window, QStringLiteral("exportButton"))->toolTip(),
              QStringLiteral("Export Video (Shift+Ctrl+E)"));
    EXPECT_GE(window.width(), 400);
}

TEST_F(ExportSummaryWindowTest, NothingCheckedWarnsSkipsEveryRowAndDisablesExport)
{
    // The second scene's check names a take that is not among its takes.
    RecordingScene dangling = makeCheckedScene({take(0, 5)}, std::nullopt);
    dangling.selectedTakeID = QUuid::createUuid();
    host.session = sessionOf({makeCheckedScene({take(0, 3)}, std::nullopt), dangling});
    ExportSummaryWindow window(host);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_EQ(texts(window, QStringLiteral("warning")),
              QStringList{QStringLiteral("No takes selected. Choose a best take for at least one "
                                         "scene to enable export.")});
    EXPECT_EQ(texts(window, QStringLiteral("sceneLabel")),
              (QStringList{QStringLiteral("Scene 1"), QStringLiteral("Scene 2")}));
    EXPECT_EQ(texts(window, QStringLiteral("skip")),
              (QStringList{QStringLiteral("\u2014 skip"), QStringLiteral("\u2014 skip")}));
    EXPECT_TRUE(texts(window, QStringLiteral("takeLabel")).isEmpty());
    EXPECT_EQ(texts(window, QStringLiteral("total")), QStringList{QStringLiteral("Total: 0:00")});
    EXPECT_FALSE(button(window, QStringLiteral("exportButton"))->isEnabled());
}

TEST_F(ExportSummaryWindowTest, RowsNameScenesAndTakesWithTruncatedDurations)
{
    host.session = sessionOf({
        makeCheckedScene({take(1, 60.99)}, 0, QStringLiteral("Intro & <Welcome>")),       // 59.99 s
        makeCheckedScene({take(0, 2)}, std::nullopt),                                      // skipped
        makeCheckedScene({take(0, 9), take(2, 62)}, 1),                                    // 60 s, "Take 2"
        makeCheckedScene({take(0, 3600), take(10, 3735, QStringLiteral("Keeper"))}, 1),    // 3725 s
    });
    ExportSummaryWindow window(host);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_TRUE(texts(window, QStringLiteral("warning")).isEmpty());
    EXPECT_EQ(texts(window, QStringLiteral("sceneLabel")),
              (QStringList{QStringLiteral("Intro & <Welcome>"), QStringLiteral("Scene 2"),
                           QStringLiteral("Scene 3"), QStringLiteral("Scene 4")}));
    EXPECT_EQ(texts(window, QStringLiteral("takeLabel")),
              (QStringList{QStringLiteral("Take 1"), QStringLiteral("Take 2"),
                           QStringLiteral("Keeper")}));
    EXPECT_EQ(texts(window, QStringLiteral("takeDuration")),
              (QStringList{QStringLiteral("0:59"), QStringLiteral("1:00"), QStringLiteral("62:05")}));
    EXPECT_EQ(texts(window, QStringLiteral("skip")), QStringList{QStringLiteral("\u2014 skip")});
    // 59.99 + 60 + 3725 = 3844.99 s, truncated once at the end rather than per row.
    EXPECT_EQ(texts(window, QStringLiteral("total")), QStringList{QStringLiteral("Total: 64:04")});
    EXPECT_TRUE(button(window, QStringLiteral("exportButton"))->isEnabled());
}

TEST_F(ExportSummaryWindowTest, FollowsTheSessionWhileOpen)
{
    Session session = sessionOf({makeCheckedScene({take(0, 10), take(0, 20)}, std::nullopt)});
    host.session = session;
    ExportSummaryWindow window(host);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_FALSE(button(window, QStringLiteral("exportButton"))->isEnabled());

    session.scenes[0].selectedTakeID = session.scenes[0].takes[1].id;
    host.publish(session);
    EXPECT_TRUE(texts(window, QStringLiteral("warning")).isEmpty());
    EXPECT_EQ(texts(window, QStringLiteral("takeDuration")), QStringList{QStringLiteral("0:20")});
    EXPECT_EQ(texts(window, QStringLiteral("total")), QStringList{QStringLiteral("Total: 0:20")});
    EXPECT_TRUE(button(window, QStringLiteral("exportButton"))->isEnabled());

    session.scenes[0].takes[1].trimStart = 4.5;
    host.publish(session);
    EXPECT_EQ(texts(window, QStringLiteral("takeDuration")), QStringList{QStringLiteral("0:15")});

    host.publish(std::nullopt);
    EXPECT_TRUE(texts(window, QStringLiteral("sceneLabel")).isEmpty());
    EXPECT_TRUE(texts(window, QStringLiteral("total")).isEmpty());
    EXPECT_FALSE(button(window, QStringLiteral("exportButton"))->isEnabled());
}

TEST_F(ExportSummaryWindowTest, ExportClosesTheWindowBeforeStartingAndCancelOnlyCloses)
{
    host.session = sessionOf({makeCheckedScene({take(0, 4)}, 0)});
    ExportSummaryWindow window(host);
    bool visibleAtExport = true;
    host.onExport = [&] { visibleAtExport = window.isVisible(); };

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(button(window, QStringLiteral("cancelButton")), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(host.exports, 0);

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(button(window, QStringLiteral("exportButton")), Qt::LeftButton);
    EXPECT_EQ(host.exports, 1);
    EXPECT_FALSE(visibleAtExport);
    EXPECT_FALSE(window.isVisible());
}

TEST(ExportSummaryDurationText, TruncatesTowardZero)
{
    EXPECT_EQ(ExportSummaryWindow::durationText(0), QStringLiteral("0:00"));
    EXPECT_EQ(ExportSummaryWindow::durationText(75.9), QStringLiteral("1:15"));
    EXPECT_EQ(ExportSummaryWindow::durationText(3725), QStringLiteral("62:05"));
    EXPECT_EQ(ExportSummaryWindow::durationText(59.999), QStringLiteral("0:59"));
    EXPECT_EQ(ExportSummaryWindow::durationText(-75.9), QStringLiteral("-1:15"));
    EXPECT_EQ(ExportSummaryWindow::durationText(std::numeric_limits<double>::quiet_NaN()),
              QStringLiteral("--:--"));
    EXPECT_EQ(ExportSummaryWindow::durationText(std::numeric_limits<double>::infinity()),
              QStringLiteral("--:--"));
}

} // namespace
