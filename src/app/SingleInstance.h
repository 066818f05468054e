#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

namespace lumacast {

// One running Lumacast per user and display. The instance that holds an exclusive lock (flock)
// on "<socket>.lock" serves: it listens on the socket, and a later launch hands it its document
// paths (absolute, possibly none: the user only launched the application again) and exits.
// Both live in the user's private runtime folder, so that no other user can listen first or
// leave a socket in the way. Main thread only.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` is the socket's path; serverName() gives the default.
    explicit SingleInstance(QString name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket for this user and display, in $XDG_RUNTIME_DIR when that is a folder of this
    // user's that only it can enter, else in "lumacast-<uid>" under the temporary folder made
    // so. Empty when neither is.
    static QString serverName();
    static QString lockPath(const QString &name) { return name + QStringLiteral(".lock"); }

    // True when another instance serves: this launch handed it `paths`, or gave up after
    // `timeoutMs`, and should exit now. False when this is the instance that serves; it then
    // listens, and `launched` reports later launches.
    bool handOffToRunningInstance(const QStringList &paths, int timeoutMs = 5000);

signals:
    void launched(const QStringList &paths);

private:
    bool takeLock();
    void listen();

    QString m_name;
    int m_lockFd = -1;  // held while this instance serves; closed on exec
    QLocalServer *m_server = nullptr;
};

} // namespace lumacast
