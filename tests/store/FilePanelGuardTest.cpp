#include "store/FilePanelGuard.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

class ScriptedPanel : public FilePanel {
public:
    int shown = 0;
    int broughtForward = 0;
    void showPanel() override { ++shown; }
    void bringToFront() override { ++broughtForward; }
    void answer(bool accepted, const QStringList &selection = {})
    {
        emit finished(accepted, selection);
    }
};

struct Answer {
    bool accepted;
    QStringList selection;
    bool guardClearWhenAnswered;
};

class FilePanelGuardTest : public ::testing::Test {
protected:
    FilePanelGuard guard;
    std::vector<Answer> answers;
    std::vector<bool> presenting;

    void SetUp() override
    {
        QObject::connect(&guard, &FilePanelGuard::isPresentingChanged,
                         [this](bool value) { presenting.push_back(value); });
    }

    FilePanelGuard::Completion record()
    {
        return [this](bool accepted, const QStringList &selection) {
            answers.push_back({accepted, selection, !guard.isPresenting() && !guard.current()});
        };
    }
};

TEST_F(FilePanelGuardTest, SecondRequestBringsTheFirstPanelForward)
{
    auto *save = new ScriptedPanel;
    QPointer<ScriptedPanel> open = new ScriptedPanel;

    EXPECT_TRUE(guard.present(save, record()));
    EXPECT_FALSE(guard.present(open, record()));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    EXPECT_EQ(save->shown, 1);
    EXPECT_EQ(save->broughtForward, 1);
    EXPECT_TRUE(open.isNull()) << "the refused panel is dropped";
    EXPECT_EQ(guard.current(), save);
    EXPECT_TRUE(guard.isPresenting());
    EXPECT_EQ(presenting, std::vector<bool>({true}));

    save->answer(true, {"/tmp/Talk.lumacast"});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].accepted);
    EXPECT_EQ(answers[0].selection, QStringList({"/tmp/Talk.lumacast"}));
    EXPECT_TRUE(answers[0].guardClearWhenAnswered);
    EXPECT_EQ(presenting, std::vector<bool>({true, false}));
    delete save;
}

TEST_F(FilePanelGuardTest, CancellingClearsTheGuardForTheNextPanel)
{
    ScriptedPanel first;
    ScriptedPanel second;
    ASSERT_TRUE(guard.present(&first, record()));
    first.answer(false);
    // A stray second answer from the same panel runs no completion.
    first.answer(true, {"x"});

    EXPECT_TRUE(guard.present(&second, record()));
    EXPECT_EQ(second.shown, 1);
    EXPECT_EQ(first.broughtForward, 0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].accepted);
    second.answer(false);
    EXPECT_FALSE(guard.isPresenting());
}

TEST_F(FilePanelGuardTest, CompletionMayAskForTheNextPanel)
{
    ScriptedPanel first;
    ScriptedPanel second;
    bool nextShown = false;
    guard.present(&first, [&](bool, const QStringList &) {
        nextShown = guard.present(&second, {});
    });
    first.answer(true, {"a"});
    EXPECT_TRUE(nextShown);
    EXPECT_EQ(guard.current(), &second);
    EXPECT_TRUE(guard.isPresenting());
    second.answer(false);
}

TEST_F(FilePanelGuardTest, APanelDestroyedWithoutAnswerCountsAsCancelled)
{
    auto *panel = new ScriptedPanel;
    guard.present(panel, record());
    delete panel;

    EXPECT_FALSE(guard.isPresenting());
    EXPECT_EQ(guard.current(), nullptr);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].accepted);
    EXPECT_EQ(presenting, std::vector<bool>({true, false}));

    // A panel registered by hand, without the protocol helper, clears the flag the same way.
    auto *manual = new ScriptedPanel;
    guard.setCurrent(manual);
    guard.setPresenting(true);
    delete manual;
    EXPECT_FALSE(guard.isPresenting());
    EXPECT_EQ(answers.size(), 1u);
}

} // namespace
