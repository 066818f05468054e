#include "Error.h"

#include <utility>

namespace lumacast {

Error::Error(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8())
{
}

FileSystemError::FileSystemError(QString operation, QString path, int code, QString systemText)
    : Error(operation + QStringLiteral(" \"") + path + QStringLiteral("\" failed: ") + systemText),
      m_operation(std::move(operation)), m_path(std::move(path)), m_code(code),
      m_systemText(std::move(systemText))
{
}

} // namespace lumacast
