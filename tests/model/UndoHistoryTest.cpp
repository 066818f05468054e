#include "ModelTestData.h"

#include "model/UndoHistory.h"

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

// A session whose only take uses the given file, so that entries can be told apart by name.
Session sessionWith(const QStringList &filenames)
{
    Session session("/tmp/s");
    for (const QString &name : filenames)
        session.scenes[0].takes.append(makeTake(name));
    return session;
}

QString fileOf(const Session &session)
{
    return session.scenes[0].takes.isEmpty() ? QString() : session.scenes[0].takes[0].filename;
}

} // namespace

TEST(UndoHistory, UndoAndRedoSwapSessions)
{
    UndoHistory history;
    EXPECT_EQ(history.limit, 150);
    EXPECT_FALSE(history.undo(sessionWith({"x.mov"})).has_value());
    EXPECT_FALSE(history.redo(sessionWith({"x.mov"})).has_value());
    EXPECT_TRUE(history.past.isEmpty());
    EXPECT_TRUE(history.future.isEmpty());

    EXPECT_TRUE(history.push("Record Take", sessionWith({})).isEmpty());
    EXPECT_TRUE(history.push("Trim", sessionWith({"a.mov"})).isEmpty());

    const auto undone = history.undo(sessionWith({"b.mov"}));
    ASSERT_TRUE(undone.has_value());
    EXPECT_EQ(undone->name, "Trim");
    EXPECT_EQ(fileOf(undone->session), "a.mov");
    ASSERT_EQ(history.future.size(), 1);
    EXPECT_EQ(history.future[0].name, "Trim");
    EXPECT_EQ(fileOf(history.future[0].session), "b.mov");

    const auto redone = history.redo(undone->session);
    ASSERT_TRUE(redone.has_value());
    EXPECT_EQ(fileOf(redone->session), "b.mov");
    ASSERT_EQ(history.past.size(), 2);
    EXPECT_EQ(history.past[1].name, "Trim");
    EXPECT_EQ(fileOf(history.past[1].session), "a.mov");
    EXPECT_TRUE(history.future.isEmpty());
}

TEST(UndoHistory, PushBeyondTheLimitReturnsFilesOnlyDroppedEntriesUsed)
{
    UndoHistory history;
    history.push("first", sessionWith({"old.mov", "shared.mov"}));
    for (int i = 1; i < 150; ++i)
        EXPECT_TRUE(
            history.push(QStringLiteral("step %1").arg(i), sessionWith({"shared.mov"})).isEmpty());
    ASSERT_EQ(history.past.size(), 150);

    const QSet<QString> dropped = history.push("151st", sessionWith({"new.mov"}));
    EXPECT_EQ(dropped, QSet<QString> {"old.mov"});
    EXPECT_EQ(history.past.size(), 150);
    EXPECT_EQ(history.past.first().name, "step 1");
    EXPECT_EQ(history.past.last().name, "151st");

    // At the limit, undo then redo neither grows nor drops anything.
    const auto undone = history.undo(sessionWith({"cur.mov"}));
    history.redo(undone->session);
    EXPECT_EQ(history.past.size(), 150);
    EXPECT_EQ(history.past.first().name, "step 1");
}

TEST(UndoHistory, PushDiscardsRedoStepsAndReturnsTheirOnlyFiles)
{
    UndoHistory history;
    history.push("one", sessionWith({"a.mov"}));
    history.push("two", sessionWith({"b.mov"}));
    auto current = sessionWith({"c.mov"});
    current = history.undo(current)->session; // future holds c
    current = history.undo(current)->session; // future holds c, b
    ASSERT_EQ(history.future.size(), 2);

    // "b.mov" lives on in the new entry; only "c.mov" is left to no one.
    const QSet<QString> dropped = history.push("three", sessionWith({"b.mov"}));
    EXPECT_EQ(dropped, QSet<QString> {"c.mov"});
    EXPECT_TRUE(history.future.isEmpty());
    EXPECT_EQ(history.referencedFilenames(), (QSet<QString> {"b.mov"}));

    // Discarded entries without files give nothing back.
    history.undo(sessionWith({}));
    EXPECT_TRUE(history.push("four", sessionWith({"b.mov"})).isEmpty());
}

TEST(UndoHistory, SmallAndDegenerateLimits)
{
    UndoHistory one(1);
    one.push("a", sessionWith({"a.mov"}));
    EXPECT_EQ(one.push("b", sessionWith({"b.mov"})), QSet<QString> {"a.mov"});
    EXPECT_EQ(one.past.size(), 1);

    UndoHistory none(-5);
    EXPECT_EQ(none.push("a", sessionWith({"a.mov"})), QSet<QString> {"a.mov"});
    EXPECT_TRUE(none.past.isEmpty());
}

TEST(UndoHistory, SnapshotsSharingStorageAreTrackedByContent)
{
    // Snapshots of one session share their unchanged lists; the returned names must still be
    // exactly those that no remaining snapshot uses.
    UndoHistory history(2);
    Session session = sessionWith({"a.mov", "b.mov"});
    session.scenes.append(makeScene({makeTake("keep.mov")}));
    history.push("one", session);
    session.scenes[0].takes.removeLast(); // b.mov now only in "one"
    history.push("two", session);
    session.scenes[0].takes.append(makeTake("c.mov"));
    EXPECT_EQ(history.push("three", session), QSet<QString> {"b.mov"});
    EXPECT_EQ(history.referencedFilenames(), (QSet<QString> {"a.mov", "c.mov", "keep.mov"}));
    session.scenes.removeFirst();
    EXPECT_TRUE(history.push("four", session).isEmpty()); // a.mov and c.mov live on in "three"
    EXPECT_EQ(history.push("five", session), (QSet<QString> {"a.mov", "c.mov"}));
}
