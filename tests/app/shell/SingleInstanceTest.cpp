#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace lumacast {
namespace {

// XDG_RUNTIME_DIR for this process (serverName) and its children, restored afterwards.
struct RuntimeFolder {
    QTemporaryDir dir;  // made 0700
    QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    RuntimeFolder() { qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path())); }
    ~RuntimeFolder() { qputenv("XDG_RUNTIME_DIR", saved); }
};

// A socket file whose server has gone: bound, never listened on, closed.
bool leaveStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path);
    ::strncpy(address.sun_path, native.constData(), sizeof(address.sun_path) - 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

// Paths handed to a server of the test's own, one list per launch.
void collectLaunches(QLocalServer &server, QStringList &received)
{
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&server, &received] {
        while (QLocalSocket *client = server.nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::readyRead, client, [client, &received] {
                QDataStream stream(client);
                stream.startTransaction();
                QStringList paths;
                stream >> paths;
                if (stream.commitTransaction())
                    received << paths.join(QLatin1Char(','));
            });
        }
    });
}

TEST(SingleInstanceTest, OneLaunchServesAndEveryOtherHandsItsDocumentsOver)
{
    enum class Before { nothing, staleSocket, serverStillStarting };
    struct Row {
        const char *name;
        Before before;
    };
    const Row rows[] = {
        {"ten launches at once", Before::nothing},
        {"a socket left by a dead instance", Before::staleSocket},
        {"the serving instance listens late", Before::serverStillStarting},
    };
    constexpr int kLaunches = 10;
    for (const Row &row : rows) {
        RuntimeFolder runtime;
        const QString name = SingleInstance::serverName();
        ASSERT_TRUE(name.startsWith(runtime.dir.path() + QStringLiteral("/lumacast-%1-").arg(::geteuid())))
            << qPrintable(name);
        int lock = -1;
        QLocalServer ours;
        QStringList received;
        if (row.before == Before::staleSocket) {
            ASSERT_TRUE(leaveStaleSocket(name)) << row.name;
        }
        if (row.before == Before::serverStillStarting) {
            lock = ::open(QFile::encodeName(SingleInstance::lockPath(name)).constData(), O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0) << row.name;
            collectLaunches(ours, received);
        }

        std::vector<std::unique_ptr<QProcess>> launches;
        QSet<QString> documents;
        for (int i = 0; i < kLaunches; ++i) {
            const QString document = QStringLiteral("/documents/%1.lumacast").arg(i);
            documents << document;
            launches.push_back(std::make_unique<QProcess>());
            launches.back()->start(QStringLiteral(LUMACAST_INSTANCE_PROBE), {QStringLiteral("3000"), document});
        }
        if (row.before == Before::serverStillStarting) {
            QThread::msleep(700);  // every launch has found the lock taken and no one listening
            ASSERT_TRUE(ours.listen(name)) << row.name;
            const QDeadlineTimer deadline(10000);
            while (received.size() < kLaunches && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }

        int serving = 0;
        for (const auto &launch : launches) {
            ASSERT_TRUE(launch->state() == QProcess::NotRunning || launch->waitForFinished(20000)) << row.name;
            EXPECT_EQ(launch->exitCode(), 0) << row.name;
            const QStringList lines = QString::fromUtf8(launch->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            if (lines.value(0) == QLatin1String("serving")) {
                ++serving;
                for (const QString &line : lines.mid(1))
                    received << line.mid(QStringLiteral("launch ").size());
                documents.remove(launch->arguments().value(1));
            } else {
                EXPECT_EQ(lines, QStringList{"handed"}) << row.name;
            }
        }
        EXPECT_EQ(serving, row.before == Before::serverStillStarting ? 0 : 1) << row.name;
        EXPECT_EQ(QSet<QString>(received.begin(), received.end()), documents) << row.name;
        EXPECT_EQ(received.size(), documents.size()) << row.name;
        if (lock >= 0)
            ::close(lock);
    }
}

} // namespace
} // namespace lumacast
