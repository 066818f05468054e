#include "Error.h"

#include <QStringList>

#include <utility>

namespace lumacast {

Error::Error(QString description) : Error(applicationDomain(), 0, std::move(description)) {}

Error::Error(QString domain, int code, QString description, std::optional<QString> failureReason)
    : m_domain(std::move(domain)), m_code(code), m_description(std::move(description)),
      m_failureReason(std::move(failureReason)), m_utf8(m_description.toUtf8())
{
}

Error::~Error() = default;

QString Error::domain() const { return m_domain; }
int Error::code() const { return m_code; }
QString Error::description() const { return m_description; }
std::optional<QString> Error::failureReason() const { return m_failureReason; }
const Error *Error::underlyingError() const { return nullptr; }

const QString &Error::applicationDomain()
{
    static const QString domain = QStringLiteral("Lumacast");
    return domain;
}

QString describeErrorChain(const Error &error, int maxParts)
{
    QStringList parts;
    for (const Error *current = &error; current && parts.size() < maxParts;
         current = current->underlyingError()) {
        QString part = current->domain() + QLatin1Char(' ') + QString::number(current->code())
                     + QStringLiteral(": ") + current->description();
        if (const auto reason = current->failureReason())
            part += QStringLiteral(" \u2014 ") + *reason;
        parts << part;
    }
    return parts.join(QStringLiteral(" \u27F5 "));
}

FileSystemError::FileSystemError(QString operation, QString path, int code, QString systemText)
    : Error(QStringLiteral("POSIX"), code,
            operation + QStringLiteral(" \"") + path + QStringLiteral("\" failed: ") + systemText),
      m_operation(std::move(operation)), m_path(std::move(path)),
      m_systemText(std::move(systemText))
{
}

} // namespace lumacast
