#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace lumacast::testing {

// Collects, while it lives, the messages of one logging category (by its full name), from any
// thread. Other messages go on to the handler that was installed before.
class LogCapture {
public:
    struct Line {
        QtMsgType type;
        QString text;
    };

    explicit LogCapture(QByteArray category);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Line> lines() const;
    QStringList texts() const;
    // Each text behind its level: "debug ", "info ", "warning ", "error " (critical) or "fatal ".
    QStringList levelledTexts() const;
    void clear();

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QByteArray m_category;
    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
    mutable QMutex m_mutex;
    QList<Line> m_lines;
};

} // namespace lumacast::testing
