#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>

namespace lumacast {

// The one error family of the project: everything the project throws, and every error it hands
// to a callback, is an `Error`. An error has a domain (which layer or type made it, for example
// "Lumacast.Media", "FFmpeg", "POSIX", "Lumacast.TakeJoiner.JoinError"), an integer code within
// that domain, a user-readable description shown unchanged, an optional failure reason, and
// optionally the error that caused it. The accessors are virtual so that a chain is read through
// this class alone; a subclass only adds its own typed view (its case, its payload).
//
// Immutable once made; safe to read from any thread.
class Error : public std::exception {
public:
    // An error of the application's own domain ("Lumacast") with code 0.
    explicit Error(QString description);
    Error(QString domain, int code, QString description,
          std::optional<QString> failureReason = std::nullopt);
    ~Error() override;
    Error(const Error &) = default;
    Error &operator=(const Error &) = default;

    virtual QString domain() const;
    virtual int code() const;
    virtual QString description() const;
    virtual std::optional<QString> failureReason() const;
    // The error beneath this one, or null. Owned by this error.
    virtual const Error *underlyingError() const;

    // The description; kept for the many callers that show it.
    const QString &message() const noexcept { return m_description; }
    QString localizedDescription() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

    // "Lumacast": the domain of errors that have no finer one.
    static const QString &applicationDomain();

private:
    QString m_domain;
    int m_code = 0;
    QString m_description;
    std::optional<QString> m_failureReason;
    QByteArray m_utf8;
};

// One line describing an error and up to `maxParts - 1` errors beneath it, outermost first:
// "domain code: description — reason ⟵ domain code: description". Never throws.
QString describeErrorChain(const Error &error, int maxParts = 5);

// A failed file-system operation, domain "POSIX". `code` is the operating system's error number
// (0 when the platform gave none) and `systemText` its text; the description names the operation
// and the path.
class FileSystemError : public Error {
public:
    FileSystemError(QString operation, QString path, int code, QString systemText);

    const QString &operation() const noexcept { return m_operation; }
    const QString &path() const noexcept { return m_path; }
    const QString &systemText() const noexcept { return m_systemText; }

private:
    QString m_operation;
    QString m_path;
    QString m_systemText;
};

} // namespace lumacast
