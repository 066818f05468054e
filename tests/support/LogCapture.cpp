#include "support/LogCapture.h"

namespace lumacast::testing {

namespace {

QMutex s_installMutex;
LogCapture *s_current = nullptr;

} // namespace

LogCapture::LogCapture(QByteArray category) : m_category(std::move(category))
{
    QMutexLocker lock(&s_installMutex);
    m_outer = s_current;
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&s_installMutex);
    qInstallMessageHandler(m_previous);
    s_current = m_outer;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&s_installMutex);
    // A capture started inside another one sees its own category first; the outer ones still
    // see theirs.
    for (LogCapture *capture = s_current; capture; capture = capture->m_outer) {
        if (context.category && capture->m_category == context.category) {
            QMutexLocker linesLock(&capture->m_mutex);
            capture->m_lines.append({type, message});
            return;
        }
    }
    LogCapture *outermost = s_current;
    while (outermost && outermost->m_outer)
        outermost = outermost->m_outer;
    if (outermost && outermost->m_previous)
        outermost->m_previous(type, context, message);
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line &line : lines())
        result << line.text;
    return result;
}

QStringList LogCapture::levelledTexts() const
{
    QStringList result;
    for (const Line &line : lines()) {
        const char *level = "info";
        switch (line.type) {
        case QtDebugMsg: level = "debug"; break;
        case QtInfoMsg: level = "info"; break;
        case QtWarningMsg: level = "warning"; break;
        case QtCriticalMsg: level = "error"; break;
        case QtFatalMsg: level = "fatal"; break;
        }
        result << QLatin1String(level) + QLatin1Char(' ') + line.text;
    }
    return result;
}

} // namespace lumacast::testing
