// The application's export coordinator end to end: a real save panel, the real movie export and
// the real package writer, on a movie made by the ffmpeg command line.
#include "dialogs/ApplicationExport.h"
#include "dialogs/ExportDialogs.h"
#include "dialogs/FileDialogPanel.h"
#include "store/FilePanelGuard.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace lumacast;
using lumacast::testing::runProcess;

namespace {

QFileDialog *dialogUp()
{
    auto *panel = qobject_cast<FileDialogPanel *>(FilePanelGuard::shared().current());
    return panel ? panel->dialog() : nullptr;
}

void answerPanel(const QString &folder, const QString &name)
{
    QFileDialog *dialog = dialogUp();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    dialog->setDirectory(folder);
    auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(nameEdit);
    nameEdit->setText(name);
    static_cast<QDialog *>(dialog)->accept();
}

} // namespace

TEST(ApplicationExport, MovieAndPackageExportsRunTheRealWriters)
{
    QTemporaryDir dir;
    const QString takes = dir.filePath(QStringLiteral("session/takes"));
    ASSERT_TRUE(QDir().mkpath(takes));
    const auto made = runProcess(QStringLiteral("ffmpeg"),
                                 {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                  QStringLiteral("lavfi"), QStringLiteral("-i"),
                                  QStringLiteral("testsrc=size=320x240:rate=30"), QStringLiteral("-f"),
                                  QStringLiteral("lavfi"), QStringLiteral("-i"),
                                  QStringLiteral("sine=frequency=440:sample_rate=48000"), QStringLiteral("-t"),
                                  QStringLiteral("2"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
                                  QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-shortest"),
                                  takes + QStringLiteral("/take.mov")});
    ASSERT_TRUE(made.ok()) << made.err.constData();

    Session session(dir.filePath(QStringLiteral("session")));
    session.scenes.first() = lumacast::testing::makeCheckedScene(
        {lumacast::testing::makeTrimmedTake(QStringLiteral("take.mov"), 2, 0.5, 1.5)}, 0);

    DialogExportUserInterface ui;
    auto coordinator = makeApplicationExportCoordinator(ui);
    QList<ExportEvent::Kind> movieEvents;
    coordinator->exportVideo(session, [&](const ExportEvent &event) { movieEvents << event.kind; });
    answerPanel(dir.path(), QStringLiteral("Talk.mov"));
    QTRY_VERIFY_WITH_TIMEOUT(!movieEvents.isEmpty() && movieEvents.last() != ExportEvent::Kind::progress
                                 && movieEvents.last() != ExportEvent::Kind::started,
                             60000);
    EXPECT_EQ(movieEvents.first(), ExportEvent::Kind::started);
    ASSERT_EQ(movieEvents.last(), ExportEvent::Kind::succeeded);
    const auto probed = runProcess(QStringLiteral("ffprobe"),
                                   {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                    QStringLiteral("format=duration"), QStringLiteral("-of"),
                                    QStringLiteral("csv=p=0"), dir.filePath(QStringLiteral("Talk.mov"))});
    ASSERT_TRUE(probed.ok()) << probed.err.constData();
    EXPECT_NEAR(probed.out.trimmed().toDouble(), 1.0, 0.05);

    QList<ExportEvent::Kind> packageEvents;
    coordinator->exportFCPXML(session, [&](const ExportEvent &event) { packageEvents << event.kind; });
    answerPanel(dir.path(), QStringLiteral("Talk"));
    QTRY_VERIFY_WITH_TIMEOUT(packageEvents.size() == 2, 60000);
    EXPECT_EQ(packageEvents.last(), ExportEvent::Kind::succeeded);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("Talk/Talk.fcpxml"))));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("Talk/media/take.mov"))));
}
