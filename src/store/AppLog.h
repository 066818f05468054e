#pragma once

#include <QDateTime>
#include <QString>

#include <mutex>
#include <optional>

namespace lumacast {

// Builds one log line: "[yyyy-MM-dd HH:mm:ss.SSS] message\n" in local time, UTF-8, with a fixed
// format that does not follow the user's locale.
QByteArray formatLogLine(const QDateTime &time, const QString &message);

// The application log "app.log" in "Logs/Lumacast" under the Library folder. One shared instance,
// created on first use; `log` may be called from any thread and every line reaches the file whole.
class AppLog {
public:
    static AppLog &shared();

    void log(const QString &message);

    QString logPath() const { return m_logPath; }
    bool isOpen() const { return m_fd >= 0; }

    AppLog(const AppLog &) = delete;
    AppLog &operator=(const AppLog &) = delete;

    // For tests: the same set-up steps as the shared instance, on an explicit Library folder.
    explicit AppLog(const QString &libraryFolder);
    ~AppLog();

private:
    QString m_logPath;
    int m_fd = -1;
    std::mutex m_mutex;
};

// The per-session "history.log", owned by the state manager and used on the main thread.
class SessionLogger {
public:
    SessionLogger() = default;
    ~SessionLogger();
    SessionLogger(const SessionLogger &) = delete;
    SessionLogger &operator=(const SessionLogger &) = delete;

    void open(const QString &folder);
    void close();
    void append(const QString &message);
    // Appends one line to the history log of a session folder that is not the open one (a
    // recording closed while work on it went on), opened and closed again for that line; a
    // folder or log that cannot be opened is logged and skipped.
    static void appendTo(const QString &folder, const QString &message);

    bool isOpen() const { return m_fd >= 0; }
    std::optional<QString> logPath() const { return m_logPath; }

private:
    int m_fd = -1;
    std::optional<QString> m_logPath;
};

} // namespace lumacast
