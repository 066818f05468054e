#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

namespace lumacast {

// One running Lumacast per user and display. The first instance listens on a local socket; a
// later launch hands it its document paths (absolute, possibly none: the user only launched the
// application again) and exits. Main thread only.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` identifies the instance's socket; serverName() gives the default.
    explicit SingleInstance(QString name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket name for this user and display.
    static QString serverName();

    // True when another instance took `paths` (this process should exit now). False when this
    // is the first instance; it then listens, and `launched` reports later launches.
    bool handOffToRunningInstance(const QStringList &paths, int timeoutMs = 2000);

signals:
    void launched(const QStringList &paths);

private:
    void listen();

    QString m_name;
    QLocalServer *m_server = nullptr;
};

} // namespace lumacast
