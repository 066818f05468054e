#include "store/InteractionGate.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

using Kind = InteractionGate::Kind;

// Nested and overlapping holds of both kinds: commands wait until the last one goes, then run in
// the order they came, one turn of the event loop each; hot keys follow the asking holds only.
TEST(InteractionGate, CommandsWaitForTheLastHoldAndRunInTheirOrderOneTurnEach)
{
    InteractionGate gate;
    QStringList ran;
    QStringList waits;
    std::vector<bool> asking;
    QObject::connect(&gate, &InteractionGate::commandWaits, [&](const QString &what) { waits << what; });
    QObject::connect(&gate, &InteractionGate::askingChanged, [&](bool value) { asking.push_back(value); });

    EXPECT_TRUE(gate.run("now", [&] { ran << "now"; }));
    {
        auto question = gate.hold(Kind::asking);
        auto command = gate.share(Kind::working);
        {
            const auto nested = gate.hold(Kind::asking);
            EXPECT_FALSE(gate.run("first", [&] { ran << "first"; }));
        }
        EXPECT_TRUE(gate.isAsking()) << "the outer question is still up";
        question.release();
        EXPECT_FALSE(gate.isAsking());
        EXPECT_FALSE(gate.run("second", [&] {
            ran << "second";
            // What a waiting command calls in turn is part of it.
            EXPECT_TRUE(gate.run("inner", [&] { ran << "inner"; }));
        }));
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(ran, QStringList({"now"})) << "a command under way still holds the gate";
        command.reset();
    }
    EXPECT_FALSE(gate.isOpen()) << "the waiting commands come first";
    InteractionGate::Hold thirdAsks;
    EXPECT_FALSE(gate.run("third", [&] {
        ran << "third";
        thirdAsks = gate.hold(Kind::asking);
    }));
    EXPECT_FALSE(gate.run("fourth", [&] { ran << "fourth"; }));
    EXPECT_EQ(ran, QStringList({"now"})) << "never on the stack of the hold that went";

    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran, QStringList({"now", "first"}));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran, QStringList({"now", "first", "second", "inner"}));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran, QStringList({"now", "first", "second", "inner", "third"}));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran.size(), 5) << "the third command's question holds the fourth";
    thirdAsks.release();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran.last(), "fourth");
    EXPECT_TRUE(gate.isOpen());
    EXPECT_EQ(waits, QStringList({"first", "second", "third", "fourth"}));
    EXPECT_EQ(asking, std::vector<bool>({true, false, true, false}));
}

TEST(InteractionGate, AHoldOutlivingItsGateDoesNothing)
{
    auto gate = std::make_unique<InteractionGate>();
    InteractionGate::Hold hold = gate->hold(Kind::asking);
    InteractionGate::Hold moved = std::move(hold);
    EXPECT_FALSE(hold.isHeld());
    EXPECT_TRUE(moved.isHeld());
    gate.reset();
    EXPECT_FALSE(moved.isHeld());
}

} // namespace
