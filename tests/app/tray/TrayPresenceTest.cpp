// Whether a tray is there, asked of a StatusNotifierWatcher on the program's private bus that
// answers at once or never. Skipped without the rig's display, xfce4-panel or dbus-daemon.
#include "TrayDesktop.h"
#include "TrayHosts.h"

#include "app/TrayPresence.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

// The watcher's object: says a host is registered, or takes every question and never answers.
class Watcher final : public QDBusVirtualObject {
public:
    QDBusConnection *bus = nullptr; // null: never answers
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        return !bus || bus->send(message.createReply(QVariant::fromValue(QDBusVariant(true))));
    }
};

TEST(TrayPresence, TheWatcherIsAskedWithoutHoldingUpTheMainThread)
{
    if (!trayDesktop)
        GTEST_SKIP() << "needs the rig's X server, xfce4-panel and dbus-daemon";
    for (const bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "a watcher that answers" : "a watcher that never answers");
        const QString name = QStringLiteral("watcher-%1").arg(answers);
        QDBusConnection bus = QDBusConnection::connectToBus(trayDesktop->address(), name);
        Watcher watcher;
        watcher.bus = answers ? &bus : nullptr;
        TrayPresence presence(50); // its first look finds no watcher
        ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/StatusNotifierWatcher"), &watcher));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));

        // The main thread's 10 ms ticks go on while the watcher is asked every 50 ms.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, longestGap = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { longestGap = std::max(longestGap, clock.elapsed() - last), last = clock.elapsed(); });
        tick.start(10);
        waitFor([] { return false; }, 1500);
        EXPECT_LT(longestGap, 150);
        EXPECT_EQ(presence.isAvailable(), answers);
        QDBusConnection::disconnectFromBus(name);
    }
}

} // namespace
} // namespace lumacast::testing
