#include "dialogs/FileDialogPanel.h"

#include <QApplication>
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
