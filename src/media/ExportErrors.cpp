#include "media/ExportErrors.h"

#include "model/LogCategories.h"
#include "platform/av/MediaError.h"
#include "store/AppLog.h"
#include "store/InFlightItem.h"

namespace lumacast {

namespace {

constexpr int kMaximumChainParts = 5;

QString onePart(const QString &domain, long long code, const QString &description)
{
    return domain + QLatin1Char(' ') + QString::number(code) + QStringLiteral(": ") + description;
}

} // namespace

namespace session_exporter {

ExportError::ExportError(Code code) : ExportError(code, text(code)) {}

ExportError::ExportError(Code code, const QString &description)
    : Error(QStringLiteral("Lumacast.SessionExporter.ExportError"), int(code), description),
      m_kind(code)
{
}

ExportError ExportError::takeWithoutTracks(const QString &takeName)
{
    return ExportError(Code::takeWithoutTracks, takeWithoutTracksText(takeName));
}

QString ExportError::takeWithoutTracksText(const QString &takeName)
{
    return QStringLiteral("The take \u201C%1\u201D can\u2019t be exported: its movie is damaged, and no picture "
                          "or sound in it can be read.")
        .arg(takeName);
}

QString ExportError::text(Code code)
{
    switch (code) {
    case Code::cannotCreateTrack:
        return QStringLiteral("Could not create composition track");
    case Code::cannotCreateExportSession:
        return QStringLiteral("Could not create export session");
    case Code::takeWithoutTracks:
        return QStringLiteral("A take\u2019s movie has no track that can be read");
    case Code::exportFailed:
        break;
    }
    return QStringLiteral("Export failed");
}

bool isDamagedMovie(const std::exception &error)
{
    const auto *media = dynamic_cast<const av::MediaError *>(&error);
    return media && media->domain() == av::MediaError::mediaDomain()
        && (media->code() == av::MediaError::UnsupportedFormat || media->code() == av::MediaError::CorruptMovie);
}

void exportLog(const QString &message)
{
    exportLog(message, AppLog::shared());
}

void exportLog(const QString &message, AppLog &appLog)
{
    qCInfo(log::exporting(), "%s", qUtf8Printable(message));
    appLog.log(QStringLiteral("[export] ") + message);
}

std::exception_ptr logFailure(const QString &step, std::exception_ptr error)
{
    return logFailure(step, std::move(error), AppLog::shared());
}

std::exception_ptr logFailure(const QString &step, std::exception_ptr error, AppLog &appLog)
{
    const QString detail = error ? describeErrorChain(error) : QStringLiteral("no error object");
    exportLog(QStringLiteral("FAILED at ") + step + QStringLiteral(": ") + detail, appLog);
    if (error)
        return error;
    return std::make_exception_ptr(ExportError(ExportError::Code::exportFailed));
}

void removeIfPresent(const std::optional<QString> &path)
{
    if (path && !path->isEmpty())
        InFlightItem::removeItem(*path);
}

ExportProgressPoll::ExportProgressPoll(std::function<double()> readProgress,
                                       std::function<void(double)> onProgress, QObject *parent)
    : QObject(parent), m_read(std::move(readProgress)), m_report(std::move(onProgress))
{
    m_timer.setInterval(100);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const double fraction = m_read ? m_read() : 0.0;
        if (m_report)
            m_report(fraction);
    });
}

void ExportProgressPoll::start()
{
    m_timer.start();
}

void ExportProgressPoll::stop()
{
    // A timer event already queued for a stopped QTimer is discarded, so nothing is reported
    // after this returns.
    m_timer.stop();
}

} // namespace session_exporter

QString describeErrorChain(const std::exception_ptr &error)
{
    if (!error)
        return QStringLiteral("no error object");
    try {
        std::rethrow_exception(error);
    } catch (const Error &failure) {
        return describeErrorChain(failure, kMaximumChainParts);
    } catch (const std::exception &failure) {
        return onePart(QStringLiteral("std.exception"), 0, QString::fromUtf8(failure.what()));
    } catch (...) {
    }
    return onePart(QStringLiteral("unknown"), 0, QStringLiteral("Unknown error"));
}

QString errorDescription(const std::exception_ptr &error)
{
    if (!error)
        return QString();
    try {
        std::rethrow_exception(error);
    } catch (const Error &failure) {
        return failure.message();
    } catch (const std::exception &failure) {
        return QString::fromUtf8(failure.what());
    } catch (...) {
    }
    return QStringLiteral("Unknown error");
}

} // namespace lumacast
