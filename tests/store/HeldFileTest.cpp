#include "store/HeldFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace lumacast;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A held file's name is removed where the file is now, and only while it is still that file's:
// what the user or another program put under its old name stays.
TEST(HeldFile, RemovesOnlyANameThatIsStillItsOwn)
{
    enum class Meanwhile { nothing, renamedAndReplaced, deletedAndReplaced };
    const struct {
        const char *name;
        Meanwhile meanwhile;
        bool removed;
    } rows[] = {
        {"left where it was made", Meanwhile::nothing, true},
        {"renamed, another file under its old name", Meanwhile::renamedAndReplaced, true},
        {"deleted, another file under its name", Meanwhile::deletedAndReplaced, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString made = dir.filePath(QStringLiteral("take.mov"));
        const QString renamed = dir.filePath(QStringLiteral("elsewhere.mov"));
        ASSERT_TRUE(writeFile(made, "ours"));
        const HeldFile held(::open(QFile::encodeName(made).constData(), O_RDONLY | O_CLOEXEC));
        if (row.meanwhile == Meanwhile::renamedAndReplaced)
            ASSERT_TRUE(QFile::rename(made, renamed));
        if (row.meanwhile == Meanwhile::deletedAndReplaced)
            ASSERT_TRUE(QFile::remove(made));
        if (row.meanwhile != Meanwhile::nothing)
            ASSERT_TRUE(writeFile(made, "theirs"));

        EXPECT_EQ(held.removeName(), row.removed);
        EXPECT_FALSE(QFile::exists(renamed)) << "the held file's own name stayed";
        if (row.meanwhile == Meanwhile::nothing)
            EXPECT_FALSE(QFile::exists(made));
        else
            EXPECT_EQ(readFile(made), "theirs") << "a file Lumacast does not know was touched";
    }
}
