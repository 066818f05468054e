#include "dialogs/FileDialogPanel.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

FileDialogPanel *nonNative(FileDialogPanel *panel)
{
    panel->dialog()->setOption(QFileDialog::DontUseNativeDialog);
    return panel;
}

class FileDialogPanelTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    FilePanelGuard guard;
    std::optional<std::pair<bool, QStringList>> answer;

    FilePanelGuard::Completion record()
    {
        return [this](bool accepted, const QStringList &selection) {
            EXPECT_FALSE(guard.isPresenting()) << "the guard is cleared before the answer";
            answer = std::pair(accepted, selection);
        };
    }
};

TEST_F(FileDialogPanelTest, OpenRequestWhileSavingBringsTheSavePanelForward)
{
    QPointer<FileDialogPanel> save = nonNative(FileDialogPanel::savePanel(
        nullptr, "Save Recording As", dir.path(), "Lumacast recordings (*.lumacast)", "lumacast"));
    QPointer<FileDialogPanel> open = nonNative(FileDialogPanel::openPanel(
        nullptr, "Open Recording", dir.path(), "Lumacast recordings (*.lumacast)",
        QFileDialog::Directory));
    QPointer<QFileDialog> openDialog = open->dialog();

    ASSERT_TRUE(guard.present(save, record()));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(save->dialog()));
    // Another window takes the focus; the refused request must hand it back to the save panel.
    QWidget other;
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    other.activateWindow();
    (void)QTest::qWaitForWindowActive(&other); // a window manager may refuse; the guard must hold either way

    EXPECT_FALSE(guard.present(open, record()));
    EXPECT_TRUE(QTest::qWaitForWindowActive(save->dialog()));
    QTRY_VERIFY(open.isNull() && openDialog.isNull());
    EXPECT_TRUE(guard.isPresenting());

    // Typed as the user would: the dialog rewrites a programmatic selection while it loads.
    auto *nameEdit = save->dialog()->findChild<QLineEdit *>("fileNameEdit");
    ASSERT_TRUE(nameEdit);
    nameEdit->setText("Talk.lumacast");
    static_cast<QDialog *>(save->dialog())->accept();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->first);
    EXPECT_EQ(answer->second, QStringList({dir.path() + "/Talk.lumacast"}));
    EXPECT_EQ(guard.current(), nullptr);
    delete save;
}

// The name typed is the name saved: double quotes are no list, a dot is no extension, a recording
// always ends in ".lumacast", and 255 bytes with it are the file system's own. A folder typed by
// its name opens.
TEST_F(FileDialogPanelTest, SavesUnderTheNameAsTyped)
{
    ASSERT_TRUE(QDir(dir.path()).mkpath("Talks"));
    const QString longest(82, QChar(0x8B1B)); // three bytes a character
    const std::pair<QString, QString> typed[] = {
        {"My \"Best\" Talk", "My \"Best\" Talk.lumacast"}, {"Demo v1.5", "Demo v1.5.lumacast"},
        {"Talk.lumacast", "Talk.lumacast"},                 {longest, longest + ".lumacast"},
        {"Talks/Q&A", "Talks/Q&A.lumacast"},                {"Talks", ""},
    };
    for (const auto &[name, saved] : typed) {
        QPointer<FileDialogPanel> panel = nonNative(FileDialogPanel::savePanel(
            nullptr, "Save Recording", dir.path(), "Lumacast recordings (*.lumacast)", "lumacast"));
        answer.reset();
        ASSERT_TRUE(guard.present(panel, record()));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel->dialog()));
        panel->dialog()->findChild<QLineEdit *>("fileNameEdit")->setText(name);
        static_cast<QDialog *>(panel->dialog())->accept();
        const QString outcome = answer ? answer->second.join('\n') : "up in " + panel->dialog()->directory().dirName();
        EXPECT_EQ(outcome.toStdString(), (saved.isEmpty() ? "up in Talks" : dir.filePath(saved)).toStdString());
        delete panel;
    }
}

TEST_F(FileDialogPanelTest, CancelledPanelLetsTheNextOneUp)
{
    auto *first = nonNative(FileDialogPanel::openPanel(nullptr, "Open Recording", dir.path(), {}));
    ASSERT_TRUE(guard.present(first, record()));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(first->dialog()));
    QTest::keyClick(first->dialog(), Qt::Key_Escape);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->first);
    EXPECT_TRUE(answer->second.isEmpty());

    auto *second = nonNative(FileDialogPanel::openPanel(nullptr, "Open Recording", dir.path(), {}));
    EXPECT_TRUE(guard.present(second, {}));
    EXPECT_TRUE(second->dialog()->isVisible());
    second->dialog()->reject();
    delete first;
    delete second;
}

TEST_F(FileDialogPanelTest, PanelClosedWithItsWindowReleasesTheGuard)
{
    auto *window = new QWidget;
    window->show();
    QPointer<FileDialogPanel> panel = nonNative(
        FileDialogPanel::savePanel(window, "Export", dir.path(), {}, "mov"));
    ASSERT_TRUE(guard.present(panel, record()));

    delete window;
    EXPECT_FALSE(guard.isPresenting()) << "released at once, not when the panel is deleted";
    QTRY_VERIFY(panel.isNull());
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->first);
}

} // namespace
