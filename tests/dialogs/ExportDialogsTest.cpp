// The coordinator's panels and alert as the user meets them: real file dialogs through the panel
// guard and the modal "Nothing to export" box.
#include "dialogs/ExportDialogs.h"
#include "dialogs/FileDialogPanel.h"
#include "store/AppLog.h"
#include "store/Preferences.h"
#include "support/SessionRecords.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

using namespace lumacast;

namespace {

class ExportDialogsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("earlier"))));
        preferences = std::make_unique<Preferences>(path(QStringLiteral("settings.json")));
        appLog = std::make_unique<AppLog>(path(QStringLiteral("library")));
        preferences->setLastExportDirectory(path(QStringLiteral("earlier")));

        session = Session(path(QStringLiteral("session")));
        const Take take = lumacast::testing::makeTrimmedTake(QStringLiteral("take.mov"), 3, 0, 3);
        session.scenes.first() = lumacast::testing::makeCheckedScene({take}, 0);

        work.writeFCPXMLPackage = [this](Session, QString name, QString destination) -> QCoro::Task<void> {
            written << name;
            destinations << destination;
            co_return;
        };
    }

    QString path(const QString &relative) const { return dir.filePath(relative); }

    QFileDialog *dialogUp() const
    {
        auto *panel = qobject_cast<FileDialogPanel *>(guard.current());
        return panel ? panel->dialog() : nullptr;
    }

    ExportCoordinator coordinator()
    {
        return ExportCoordinator(ui, *preferences, guard, work, *appLog);
    }

    ExportCoordinator::EventHandler record()
    {
        return [this](const ExportEvent &event) { kinds << event.kind; };
    }

    QTemporaryDir dir;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<AppLog> appLog;
    DialogExportUserInterface ui;
    FilePanelGuard guard;
    ExportWork work;
    Session session;
    QStringList written;
    QStringList destinations;
    QList<ExportEvent::Kind> kinds;
};

TEST_F(ExportDialogsTest, PackagePanelExplainsItselfStartsInTheLastFolderAndNamesThePackage)
{
    ExportCoordinator exporter = coordinator();
    exporter.exportFCPXML(session, record());
    QFileDialog *dialog = dialogUp();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(QDir(dialog->directory()).absolutePath(), path(QStringLiteral("earlier")));
    auto *message = dialog->findChild<QLabel *>(QStringLiteral("exportPanelMessage"));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text(), ExportCoordinator::fcpxmlPanelMessage());
    EXPECT_TRUE(message->isVisible());
    auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(nameEdit);
    QTRY_COMPARE(nameEdit->text(), ExportCoordinator::defaultName());

    nameEdit->setText(QStringLiteral("Talk"));
    static_cast<QDialog *>(dialog)->accept();
    EXPECT_FALSE(guard.isPresenting());
    QTRY_COMPARE(kinds.size(), 2);
    EXPECT_EQ(kinds, (QList{ExportEvent::Kind::started, ExportEvent::Kind::succeeded}));
    EXPECT_EQ(written, QStringList{QStringLiteral("Talk")});
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("earlier")));

    // The package is named as typed: quotes are no list, a dot is no extension.
    exporter.exportFCPXML(session, record());
    ASSERT_TRUE(dialogUp() && QTest::qWaitForWindowExposed(dialogUp()));
    dialogUp()->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("Talk \"final\" v1.5"));
    static_cast<QDialog *>(dialogUp())->accept();
    QTRY_COMPARE(written.last(), QStringLiteral("Talk \"final\" v1.5"));
    EXPECT_EQ(destinations.last(), path(QStringLiteral("earlier/Talk \"final\" v1.5")));
}

TEST_F(ExportDialogsTest, TypingAnEarlierPackageAsksToReplaceItInsteadOfOpeningIt)
{
    const QString earlier = path(QStringLiteral("earlier/Talk"));
    ASSERT_TRUE(QDir().mkpath(earlier + QStringLiteral("/media")));
    ExportCoordinator exporter = coordinator();
    exporter.exportFCPXML(session, record());
    QFileDialog *dialog = dialogUp();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(nameEdit);

    QStringList questions;
    auto answerWith = [&](QMessageBox::StandardButton choice) {
        QTimer::singleShot(0, [&, choice] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            questions << box->text();
            box->button(choice)->click();
        });
    };

    nameEdit->setText(QStringLiteral("Talk"));
    answerWith(QMessageBox::No);
    QTest::keyClick(nameEdit, Qt::Key_Return); // as the user confirms a typed name
    EXPECT_EQ(questions, QStringList{QStringLiteral("\u201CTalk\u201D already exists. Do you want to replace it?")});
    EXPECT_TRUE(guard.isPresenting()) << "declining keeps the panel up";
    EXPECT_EQ(QDir(dialog->directory()).absolutePath(), path(QStringLiteral("earlier")));

    nameEdit->setText(QStringLiteral("Talk"));
    answerWith(QMessageBox::Yes);
    QTest::keyClick(nameEdit, Qt::Key_Return); // as the user confirms a typed name
    EXPECT_EQ(questions.size(), 2);
    EXPECT_FALSE(guard.isPresenting());
    QTRY_COMPARE(kinds.size(), 2);
    EXPECT_EQ(kinds.last(), ExportEvent::Kind::succeeded);
    EXPECT_EQ(written, QStringList{QStringLiteral("Talk")});
}

TEST_F(ExportDialogsTest, MoviePanelIsOneAtATimeAndCancellingChangesNothing)
{
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, record());
    QPointer<QFileDialog> dialog = dialogUp();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Movies (*.mov)")});
    EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("mov"));
    EXPECT_FALSE(dialog->findChild<QLabel *>(QStringLiteral("exportPanelMessage")));
    auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(nameEdit);
    QTRY_COMPARE(nameEdit->text(), ExportCoordinator::defaultName() + QStringLiteral(".mov"));

    exporter.exportVideo(session, record());
    EXPECT_EQ(dialogUp(), dialog.data());
    const QWidgetList windows = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(),
                            [](QWidget *w) { return qobject_cast<QFileDialog *>(w) && w->isVisible(); }),
              1);

    dialog->reject();
    QApplication::processEvents();
    EXPECT_FALSE(guard.isPresenting());
    EXPECT_TRUE(kinds.isEmpty());
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("earlier")));
}

TEST_F(ExportDialogsTest, NothingToExportIsAModalAlertWithOneButtonAndNoPanel)
{
    session.scenes.first().selectedTakeID.reset();
    QString text, informative;
    int buttons = -1;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        informative = box->informativeText();
        buttons = box->buttons().size();
        box->buttons().first()->click();
    });
    ExportCoordinator exporter = coordinator();
    exporter.exportFCP7XML(session, record());
    EXPECT_EQ(text, QStringLiteral("Nothing to export"));
    EXPECT_EQ(informative, QStringLiteral("No scenes have a selected take."));
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(dialogUp(), nullptr);
    EXPECT_TRUE(kinds.isEmpty());
}

} // namespace
