// "Show in File Manager" against a file manager of our own on a private session bus: the bus
// the test starts, a FileManager1 service that answers or fails, or none at all.
#include "control/FileManagerReveal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <optional>

namespace lumacast::testing {

// The file manager's side of the interface: records what it was asked to show.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    bool fails = false;
    QStringList shown;

public slots:
    Q_SCRIPTABLE void ShowItems(const QStringList &uris, const QString &startupId)
    {
        Q_UNUSED(startupId);
        if (fails) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("cannot show"));
            return;
        }
        shown << uris;
    }
};

namespace {

// A session bus of the test's own, gone with the object.
class PrivateBus {
public:
    PrivateBus()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            return;
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForReadyRead(5000))
            return;
        address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        for (const QString &name : m_names)
            QDBusConnection::disconnectFromBus(name);
        m_daemon.kill();
        m_daemon.waitForFinished(2000);
    }
    QDBusConnection connect(const QString &name)
    {
        m_names << name;
        return QDBusConnection::connectToBus(address, name);
    }
    QString address;

private:
    QProcess m_daemon;
    QStringList m_names;
};

bool spinUntil(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return done();
}

} // namespace

TEST(FileManagerReveal, SelectsTheFileWhereAFileManagerAnswersAndOpensTheFolderOnlyOtherwise)
{
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const QString file = QStringLiteral("/tmp/Exports/My Talk.mov");
    const struct {
        const char *name;
        bool serviceRuns;
        bool serviceFails;
        bool folderOpens; // the desktop's opener succeeds
        bool shown;
    } cases[] = {
        {"a file manager answers", true, false, false, true},
        {"none offers the interface", false, false, true, false},
        {"the file manager fails", true, true, true, false},
        {"neither a file manager nor an opener", false, false, false, false},
    };
    int round = 0;
    for (const auto &c : cases) {
        ++round;
        FakeFileManager manager;
        manager.fails = c.serviceFails;
        QDBusConnection service = bus.connect(QStringLiteral("fm%1").arg(round));
        ASSERT_TRUE(service.isConnected()) << c.name;
        if (c.serviceRuns) {
            ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                               QDBusConnection::ExportScriptableSlots))
                << c.name;
            ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.FileManager1"))) << c.name;
        }

        std::optional<QUrl> opened;
        std::optional<QString> failedFolder;
        FileManagerReveal reveal(
            bus.connect(QStringLiteral("app%1").arg(round)),
            [&opened, &c](const QUrl &folder, std::function<void(bool)> done) {
                opened = folder;
                done(c.folderOpens);
            },
            [&failedFolder](const QString &folder) { failedFolder = folder; });
        reveal.reveal(file);
        ASSERT_TRUE(spinUntil([&] { return opened || !manager.shown.isEmpty(); }, 5000)) << c.name;
        spinUntil([] { return false; }, 100); // nothing else follows

        if (c.shown) {
            EXPECT_EQ(manager.shown, QStringList{QStringLiteral("file:///tmp/Exports/My%20Talk.mov")}) << c.name;
            EXPECT_FALSE(opened) << c.name;
        } else {
            EXPECT_TRUE(manager.shown.isEmpty()) << c.name;
            EXPECT_EQ(opened, QUrl::fromLocalFile(QStringLiteral("/tmp/Exports"))) << c.name;
        }
        // Only a reveal that found no way at all says so.
        EXPECT_EQ(failedFolder, c.shown || c.folderOpens ? std::nullopt : std::optional(QStringLiteral("/tmp/Exports")))
            << c.name;
        if (c.serviceRuns) {
            service.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
            service.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
        }
    }

    // No session bus and no xdg-open on the path: the desktop's own opener fails, and says so.
    QTemporaryDir emptyPath;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", emptyPath.path().toLocal8Bit());
    std::optional<QString> failedFolder;
    FileManagerReveal(QDBusConnection(QStringLiteral("nothing")), {},
                      [&failedFolder](const QString &folder) { failedFolder = folder; })
        .reveal(file);
    EXPECT_TRUE(spinUntil([&] { return failedFolder.has_value(); }, 5000));
    qputenv("PATH", path);
    EXPECT_EQ(failedFolder, QStringLiteral("/tmp/Exports"));
}

} // namespace lumacast::testing

#include "FileManagerRevealTest.moc"
