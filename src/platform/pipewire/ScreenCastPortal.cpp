#include "platform/pipewire/ScreenCastPortal.h"

#include "model/LogCategories.h"

#include <QAtomicInteger>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusPendingCallWatcher>
#include <QScopeGuard>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <mutex>

#include <unistd.h>

namespace lumacast::pipewire {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");

constexpr uint kSourceMonitor = 1;
constexpr uint kSourceWindow = 2;
constexpr uint kCursorHidden = 1;
constexpr uint kCursorEmbedded = 2;
constexpr uint kCursorMetadata = 4;
constexpr uint kPersistUntilRevoked = 2;
// The steps that ask nothing of the user are answered at once by a working portal.
constexpr int kQuickAnswerMs = 15000;

QAtomicInteger<int> connectionCounter;

// The portal's answer to one request, delivered on the thread that waits for it. The portal
// going away, the deadline and `ScreenCastPortal::cancel` (queued from any thread) also end the
// wait; each sets its flag before it quits, so the waiting thread tells them apart.
class RequestWaiter : public QObject {
    Q_OBJECT
public:
    uint response = 2;
    QVariantMap results;
    bool answered = false;
    bool gone = false;
    bool timedOut = false;
    bool cancelled = false;
    QEventLoop loop;

public Q_SLOTS:
    void onResponse(uint code, const QVariantMap &values)
    {
        response = code;
        results = values;
        answered = true;
        loop.quit();
    }
    void onPortalGone()
    {
        gone = true;
        loop.quit();
    }
    void onDeadline()
    {
        timedOut = true;
        loop.quit();
    }
    void onCancelled()
    {
        cancelled = true;
        loop.quit();
    }
    void onReplied() { loop.quit(); }
};

QString chooserText(CastRequest::Source source)
{
    return source == CastRequest::Source::Window ? QStringLiteral("window") : QStringLiteral("screen");
}

} // namespace

struct ScreenCastPortal::State {
    QString connectionName;
    std::optional<QDBusConnection> bus;
    QString session;
    int fd = -1;
    int tokenCounter = 0;
    // `cancel` comes from any thread: it reaches the waiter of the request under way through
    // its event loop, or marks the next request cancelled before it waits.
    std::mutex cancelLock;
    RequestWaiter *waiting = nullptr;
    bool cancelled = false;

    void setWaiting(RequestWaiter *waiter)
    {
        std::lock_guard lock(cancelLock);
        waiting = waiter;
        if (waiter && cancelled)
            QMetaObject::invokeMethod(waiter, "onCancelled", Qt::QueuedConnection);
    }

    QDBusConnection &connection()
    {
        if (!bus) {
            connectionName = QStringLiteral("lumacast-screencast-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
            bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
            if (!bus->isConnected())
                throw PortalError(PortalError::Kind::unavailable,
                                  QStringLiteral("The desktop's screen sharing cannot be reached: no session bus (%1)")
                                      .arg(bus->lastError().message()));
        }
        return *bus;
    }

    QVariant property(const QString &name)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get.setArguments({kScreenCast, name});
        const QDBusMessage reply = connection().call(get, QDBus::Block, 10000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().front().value<QDBusVariant>().variant();
    }

    // How the last request's wait ended: what tells a refused restore token from other failures.
    enum class WaitEnd { granted, refused, other };
    WaitEnd lastWait = WaitEnd::other;

    // One portal request: the call, then its Response, within `timeoutMs` for both. Returns the
    // results of a granted request.
    QVariantMap request(const QString &method, QList<QVariant> arguments, QVariantMap options, const char *step,
                        int timeoutMs)
    {
        lastWait = WaitEnd::other;
        QDBusConnection &bus = connection();
        const QString token = QStringLiteral("lumacast%1_%2").arg(getpid()).arg(++tokenCounter);
        options.insert(QStringLiteral("handle_token"), token);
        QString sender = bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        QString handle = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);

        RequestWaiter waiter;
        const auto listen = [&](const QString &path) {
            bus.connect(kService, path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                        &waiter, SLOT(onResponse(uint, QVariantMap)));
        };
        listen(handle); // before the call: the answer may come before the call returns
        QDBusServiceWatcher watcher(kService, bus, QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, &waiter, &RequestWaiter::onPortalGone);
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &waiter, &RequestWaiter::onDeadline);
        deadline.start(timeoutMs);

        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
        arguments << options;
        call.setArguments(arguments);
        QDBusPendingCallWatcher reply(bus.asyncCall(call, timeoutMs));
        QObject::connect(&reply, &QDBusPendingCallWatcher::finished, &waiter, &RequestWaiter::onReplied);
        setWaiting(&waiter);
        const auto stopWaiting = qScopeGuard([&] { setWaiting(nullptr); });
        bool replied = false;
        while (!(replied && waiter.answered)) {
            if (waiter.cancelled || waiter.timedOut) {
                closeRequest(handle);
                if (waiter.cancelled)
                    throw PortalError(PortalError::Kind::cancelled,
                                      QStringLiteral("Recording was cancelled while the desktop's screen sharing was asked to %1")
                                          .arg(QString::fromLatin1(step)));
                throw PortalError(PortalError::Kind::noAnswer,
                                  QStringLiteral("The desktop's screen sharing did not answer within %1 seconds when asked to %2")
                                      .arg((timeoutMs + 999) / 1000)
                                      .arg(QString::fromLatin1(step)));
            }
            if (!replied && reply.isFinished()) {
                replied = true;
                if (reply.isError()) {
                    const PortalError refusal = callRefused(reply.error(), step);
                    if (refusal.kind() == PortalError::Kind::failed)
                        lastWait = WaitEnd::refused; // the portal's own word, as a response 2 is
                    throw refusal;
                }
                const QString given = reply.reply().arguments().value(0).value<QDBusObjectPath>().path();
                if (!given.isEmpty() && given != handle) {
                    handle = given;
                    listen(handle); // a portal older than the handle_token convention
                }
                continue;
            }
            if (waiter.gone && !waiter.answered)
                throw PortalError(PortalError::Kind::unavailable,
                                  QStringLiteral("The desktop's screen sharing went away while it was asked to %1")
                                      .arg(QString::fromLatin1(step)));
            waiter.loop.exec();
        }
        if (waiter.response == 1)
            throw PortalError(PortalError::Kind::cancelled,
                              QStringLiteral("Screen sharing was cancelled in the desktop's screen sharing dialog"));
        if (waiter.response != 0) {
            lastWait = WaitEnd::refused;
            throw PortalError(PortalError::Kind::failed,
                              QStringLiteral("The desktop's screen sharing failed to %1").arg(QString::fromLatin1(step)));
        }
        lastWait = WaitEnd::granted;
        return waiter.results;
    }

    static PortalError callRefused(const QDBusError &error, const char *step)
    {
        const bool missing = error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::UnknownInterface
            || error.type() == QDBusError::UnknownMethod;
        if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout)
            return PortalError(PortalError::Kind::noAnswer,
                               QStringLiteral("The desktop's screen sharing did not answer when asked to %1")
                                   .arg(QString::fromLatin1(step)));
        return PortalError(missing ? PortalError::Kind::unavailable : PortalError::Kind::failed,
                           QStringLiteral("The desktop's screen sharing refused to %1: %2")
                               .arg(QString::fromLatin1(step), error.message()));
    }

    // A request given up on is withdrawn, so that a portal that answers later starts nothing.
    void closeRequest(const QString &handle)
    {
        if (!bus)
            return;
        bus->send(QDBusMessage::createMethodCall(kService, handle, QStringLiteral("org.freedesktop.portal.Request"),
                                                 QStringLiteral("Close")));
    }

    void closeSession()
    {
        if (!session.isEmpty() && bus) {
            QDBusMessage close = QDBusMessage::createMethodCall(kService, session, QStringLiteral("org.freedesktop.portal.Session"),
                                                                QStringLiteral("Close"));
            bus->call(close, QDBus::Block, 3000); // bounded: a cancelled start waits for it
        }
        session.clear();
    }
};

ScreenCastPortal::ScreenCastPortal()
    : d(std::make_unique<State>())
{
}

ScreenCastPortal::~ScreenCastPortal()
{
    close();
    if (d->fd >= 0)
        ::close(d->fd);
    if (d->bus) {
        d->bus.reset();
        QDBusConnection::disconnectFromBus(d->connectionName);
    }
}

bool ScreenCastPortal::isAvailable()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kService).value();
}

namespace {

void readStreams(const QVariant &value, CastStream &stream)
{
    const QDBusArgument streams = value.value<QDBusArgument>();
    streams.beginArray();
    bool first = true;
    while (!streams.atEnd()) {
        uint node = 0;
        QVariantMap properties;
        streams.beginStructure();
        streams >> node >> properties;
        streams.endStructure();
        if (!first)
            continue; // one source was asked for; a portal that gives more records the first
        first = false;
        stream.nodeId = node;
        const QDBusArgument size = properties.value(QStringLiteral("size")).value<QDBusArgument>();
        if (size.currentType() == QDBusArgument::StructureType) {
            size.beginStructure();
            size >> stream.width >> stream.height;
            size.endStructure();
        }
    }
    streams.endArray();
}

} // namespace

CastStream ScreenCastPortal::start(const CastRequest &request)
{
    close();
    const uint version = d->property(QStringLiteral("version")).toUInt();
    if (version == 0)
        throw PortalError(PortalError::Kind::unavailable,
                          QStringLiteral("This desktop offers no screen sharing to applications (no screen cast portal)"));
    const uint cursorModes = d->property(QStringLiteral("AvailableCursorModes")).toUInt();
    const uint sourceTypes = d->property(QStringLiteral("AvailableSourceTypes")).toUInt();
    const uint source = request.source == CastRequest::Source::Window ? kSourceWindow : kSourceMonitor;
    if (sourceTypes && !(sourceTypes & source))
        throw PortalError(PortalError::Kind::unavailable,
                          QStringLiteral("This desktop's screen sharing cannot share a single %1")
                              .arg(chooserText(request.source)));

    std::optional<QString> token = request.restoreToken;
    const int quick = std::clamp(request.answerTimeoutMs, 1, kQuickAnswerMs);
    for (;;) {
        try {
            const QVariantMap created = d->request(
                QStringLiteral("CreateSession"), {},
                {{QStringLiteral("session_handle_token"), QStringLiteral("lumacast%1").arg(getpid())}}, "open a session",
                quick);
            d->session = created.value(QStringLiteral("session_handle")).toString();
            if (d->session.isEmpty())
                throw PortalError(PortalError::Kind::failed, QStringLiteral("The desktop's screen sharing gave no session"));

            QVariantMap select{{QStringLiteral("types"), source}, {QStringLiteral("multiple"), false}};
            uint cursor = request.embedsCursor ? kCursorEmbedded : kCursorHidden;
            if (cursorModes & kCursorMetadata)
                cursor = kCursorMetadata;
            else if (cursorModes && !(cursorModes & cursor))
                cursor = (cursorModes & kCursorEmbedded) ? kCursorEmbedded : kCursorHidden;
            if (version >= 2 && (cursorModes & cursor))
                select.insert(QStringLiteral("cursor_mode"), cursor);
            if (version >= 4) {
                select.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
                if (token)
                    select.insert(QStringLiteral("restore_token"), *token);
            }
            d->request(QStringLiteral("SelectSources"), {QVariant::fromValue(QDBusObjectPath(d->session))}, select,
                       "select what to share", quick);
            // The user may be choosing: the longer bound.
            const QVariantMap started =
                d->request(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(d->session)), QString()}, {},
                           "start sharing", std::max(1, request.answerTimeoutMs));

            CastStream stream;
            stream.cursorAsMetadata = cursor == kCursorMetadata && select.contains(QStringLiteral("cursor_mode"));
            readStreams(started.value(QStringLiteral("streams")), stream);
            if (stream.nodeId == 0)
                throw PortalError(PortalError::Kind::failed, QStringLiteral("The desktop's screen sharing shared nothing"));
            if (started.contains(QStringLiteral("restore_token")))
                stream.restoreToken = started.value(QStringLiteral("restore_token")).toString();
            stream.restored = token.has_value();

            QDBusMessage open = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
            open.setArguments({QVariant::fromValue(QDBusObjectPath(d->session)), QVariantMap()});
            const QDBusMessage reply = d->connection().call(open, QDBus::Block, 10000);
            const auto fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
            if (reply.type() != QDBusMessage::ReplyMessage || !fd.isValid())
                throw PortalError(PortalError::Kind::failed,
                                  QStringLiteral("The desktop's screen sharing gave no PipeWire connection: %1")
                                      .arg(reply.errorMessage()));
            d->fd = ::dup(fd.fileDescriptor());
            stream.pipeWireFd = d->fd;
            qCInfo(log::recorder(), "screen cast: node %u, %dx%d, %s, the pointer %s", stream.nodeId, stream.width,
                   stream.height, token ? "with a restore token" : "chosen by the user",
                   stream.cursorAsMetadata ? "drawn by us" : (cursor == kCursorEmbedded ? "drawn by the desktop" : "left out"));
            return stream;
        } catch (const PortalError &e) {
            close();
            // A restore token the desktop no longer accepts: the choice is asked for again, once.
            // Only a refusal counts: a portal that did not answer or went away refused nothing.
            if (!token || e.kind() != PortalError::Kind::failed || d->lastWait != State::WaitEnd::refused)
                throw;
            qCWarning(log::recorder(), "screen cast: the restore token was refused (%s); asking again",
                      qUtf8Printable(e.message()));
            token.reset();
        }
    }
}

int ScreenCastPortal::takePipeWireFd()
{
    const int fd = d->fd;
    d->fd = -1;
    return fd;
}

void ScreenCastPortal::cancel()
{
    std::lock_guard lock(d->cancelLock);
    d->cancelled = true;
    if (d->waiting)
        QMetaObject::invokeMethod(d->waiting, "onCancelled", Qt::QueuedConnection);
}

void ScreenCastPortal::close()
{
    d->closeSession();
    if (d->fd >= 0) {
        ::close(d->fd);
        d->fd = -1;
    }
}

} // namespace lumacast::pipewire

#include "ScreenCastPortal.moc"
