#include "store/AppLog.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace lumacast;
using lumacast::testing::writeFileOfSize;

namespace {

QString logFile(const QTemporaryDir &library)
{
    return QDir(library.path()).filePath(QStringLiteral("Logs/Lumacast/app.log"));
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

const QRegularExpression kLinePattern(
    QStringLiteral(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] (.*)$)"));

QString messageOf(const QString &line)
{
    const auto match = kLinePattern.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

TEST(AppLog, LaunchLineComesFirstAndLinesAppend)
{
    QTemporaryDir library;
    {
        AppLog log(library.path());
        log.log(QStringLiteral("[app] hello — ünïcode"));
    }
    {
        AppLog second(library.path());
    }
    const QStringList lines = readLines(logFile(library));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(messageOf(lines[0]), QStringLiteral("=== app launched ==="));
    EXPECT_EQ(messageOf(lines[1]), QStringLiteral("[app] hello — ünïcode"));
    EXPECT_EQ(messageOf(lines[2]), QStringLiteral("=== app launched ==="));
}

TEST(AppLog, EmptiedOnlyWhenLargerThanOneMillionBytes)
{
    QTemporaryDir keep;
    ASSERT_TRUE(writeFileOfSize(logFile(keep), 1000000));
    { AppLog log(keep.path()); }
    EXPECT_GT(QFileInfo(logFile(keep)).size(), 1000000);

    QTemporaryDir empty;
    ASSERT_TRUE(writeFileOfSize(logFile(empty), 1000001));
    { AppLog log(empty.path()); }
    const QStringList lines = readLines(logFile(empty));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(messageOf(lines[0]), QStringLiteral("=== app launched ==="));
}

TEST(AppLog, UnwritableFolderTurnsLoggingOffSilently)
{
    QTemporaryDir library;
    // A file where the Logs folder should be makes the folder impossible to create.
    ASSERT_TRUE(writeFileOfSize(QDir(library.path()).filePath(QStringLiteral("Logs")), 10));
    AppLog log(library.path());
    EXPECT_FALSE(log.isOpen());
    log.log(QStringLiteral("[app] dropped"));
}

TEST(AppLog, ConcurrentLinesStayWhole)
{
    QTemporaryDir library;
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    {
        AppLog log(library.path());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                const QString filler(200, QLatin1Char('a' + t));
                for (int i = 0; i < kLines; ++i)
                    log.log(QStringLiteral("[test] %1 %2 %3").arg(t).arg(i).arg(filler));
            });
        }
        for (auto &thread : threads)
            thread.join();
    }
    const QStringList lines = readLines(logFile(library));
    ASSERT_EQ(lines.size(), 1 + kThreads * kLines);
    const QRegularExpression body(QStringLiteral(R"(^\[test\] (\d) \d+ ([a-h])\2{199}$)"));
    for (const QString &line : lines.mid(1)) {
        const auto match = body.match(messageOf(line));
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        EXPECT_EQ(match.captured(1).toInt(), match.captured(2).at(0).unicode() - 'a');
    }
}

TEST(AppLog, SharedInstanceLivesUnderTheLibraryFolder)
{
    // The shared instance is created once per process, so this only checks where it points.
    const QString path = AppLog::shared().logPath();
    EXPECT_TRUE(path.endsWith(QStringLiteral("/Logs/Lumacast/app.log"))) << path.toStdString();
}

TEST(LogLine, FormatIgnoresTheUsersLocale)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const QDateTime time(QDate(2024, 3, 5), QTime(7, 8, 9, 45)); // local time
    const QByteArray line = formatLogLine(time, QStringLiteral("[state] idle → starting"));
    QLocale::setDefault(before);
    EXPECT_EQ(line, QByteArray("[2024-03-05 07:08:09.045] [state] idle \xE2\x86\x92 starting\n"));
}

TEST(SessionLogger, OpeningAnotherSessionClosesTheFirst)
{
    QTemporaryDir first, second;
    SessionLogger logger;
    logger.open(first.path());
    logger.append(QStringLiteral("take recorded"));
    logger.open(second.path());
    ASSERT_TRUE(logger.isOpen());
    EXPECT_EQ(*logger.logPath(), QDir(second.path()).filePath(QStringLiteral("history.log")));
    logger.close();
    EXPECT_FALSE(logger.isOpen());
    EXPECT_FALSE(logger.logPath().has_value());

    QStringList firstMessages, secondMessages;
    for (const QString &line : readLines(QDir(first.path()).filePath(QStringLiteral("history.log"))))
        firstMessages << messageOf(line);
    for (const QString &line : readLines(QDir(second.path()).filePath(QStringLiteral("history.log"))))
        secondMessages << messageOf(line);
    EXPECT_EQ(firstMessages, (QStringList{QStringLiteral("session opened"), QStringLiteral("take recorded"),
                                          QStringLiteral("session closed")}));
    EXPECT_EQ(secondMessages, (QStringList{QStringLiteral("session opened"), QStringLiteral("session closed")}));
}

TEST(SessionLogger, HistoryIsKeptAcrossReopensAndClosingUnopenedDoesNothing)
{
    QTemporaryDir folder;
    SessionLogger logger;
    logger.close();
    EXPECT_FALSE(QFileInfo::exists(QDir(folder.path()).filePath(QStringLiteral("history.log"))));

    logger.open(folder.path());
    logger.close();
    logger.open(folder.path());
    logger.close();
    EXPECT_EQ(readLines(QDir(folder.path()).filePath(QStringLiteral("history.log"))).size(), 4);
}

TEST(SessionLogger, UnopenableFolderRemembersThePathButWritesNothing)
{
    SessionLogger logger;
    logger.open(QStringLiteral("/nonexistent-lumacast-folder"));
    EXPECT_FALSE(logger.isOpen());
    EXPECT_EQ(*logger.logPath(), QStringLiteral("/nonexistent-lumacast-folder/history.log"));
    logger.append(QStringLiteral("ignored"));
}
