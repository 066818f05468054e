#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace lumacast {

// The one error style of the document model: operations that can fail throw an exception
// derived from `Error`. Its message is the user-readable description and is shown unchanged.
class Error : public std::exception {
public:
    explicit Error(QString message);

    const QString &message() const noexcept { return m_message; }
    QString localizedDescription() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A failed file-system operation. `code` is the operating system's error number (0 when the
// platform gave none) and `systemText` its text; the message names the operation and the path.
class FileSystemError : public Error {
public:
    FileSystemError(QString operation, QString path, int code, QString systemText);

    const QString &operation() const noexcept { return m_operation; }
    const QString &path() const noexcept { return m_path; }
    int code() const noexcept { return m_code; }
    const QString &systemText() const noexcept { return m_systemText; }

private:
    QString m_operation;
    QString m_path;
    int m_code;
    QString m_systemText;
};

} // namespace lumacast
