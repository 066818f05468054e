#include "platform/av/JoinExportSession.h"

#include "threads/ThreadBridge.h"

#include <QPromise>

namespace lumacast::av {

std::unique_ptr<JoinExportSession> JoinExportSession::create(Composition composition, Preset preset)
{
    if (preset != Preset::passthrough)
        return nullptr;
    bool hasSource = false;
    for (int t = 0; t < composition.trackCount() && !hasSource; ++t)
        for (const CompositionSegment &segment : composition.segments(t))
            if (!segment.isEmpty()) {
                hasSource = true;
                break;
            }
    if (!hasSource)
        return nullptr;
    return std::unique_ptr<JoinExportSession>(new JoinExportSession(std::move(composition)));
}

JoinExportSession::JoinExportSession(Composition composition) : m_composition(std::move(composition)) {}

JoinExportSession::~JoinExportSession()
{
    m_cancelled = true;
    if (m_thread.joinable())
        m_thread.join();
}

QStringList JoinExportSession::compatibleFileTypes() const
{
    for (int t = 0; t < m_composition.trackCount(); ++t)
        for (const CompositionSegment &segment : m_composition.segments(t))
            if (!segment.isEmpty() && !segment.asset->structure())
                return {};
    return {kFileTypeQuickTimeMovie};
}

std::optional<MediaError> JoinExportSession::error() const
{
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

QFuture<void> JoinExportSession::exportAsynchronously()
{
    QPromise<void> promise;
    QFuture<void> future = promise.future();
    if (m_thread.joinable() || m_status.load() != Status::unknown) {
        promise.start();
        promise.finish();
        return future;
    }
    m_status = Status::waiting;
    m_thread = std::thread([this, promise = std::move(promise)]() mutable {
        nameCurrentThread("join export");
        promise.start();
        run();
        promise.finish();
    });
    return future;
}

void JoinExportSession::run()
{
    const auto failWith = [this](const MediaError &error, Status status) {
        {
            std::lock_guard lock(m_errorMutex);
            m_error = error;
        }
        m_status = status;
    };
    if (outputPath.isEmpty()) {
        failWith(MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                            QStringLiteral("The export has no output location.")),
                 Status::failed);
        return;
    }
    if (outputFileType != kFileTypeQuickTimeMovie || compatibleFileTypes().isEmpty()) {
        failWith(MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                            QStringLiteral("The movie cannot be written as \u201C%1\u201D.").arg(outputFileType)),
                 Status::failed);
        return;
    }
    if (m_cancelled) {
        failWith(MediaError(MediaError::mediaDomain(), MediaError::Cancelled,
                            QStringLiteral("The export was cancelled.")),
                 Status::cancelled);
        return;
    }
    m_status = Status::exporting;
    PassthroughOptions options;
    options.cancelled = &m_cancelled;
    // A join takes nearly all of both movies: each goes over in one copy.
    options.copySourceStretches = true;
    options.progress = [this](double fraction) { m_progress = float(fraction); };
    try {
        writePassthrough(m_composition, outputPath, options);
        m_status = Status::completed;
    } catch (const MediaError &e) {
        failWith(e, e.code() == MediaError::Cancelled ? Status::cancelled : Status::failed);
    } catch (const std::exception &e) {
        failWith(MediaError(MediaError::mediaDomain(), MediaError::WriteFailed, QString::fromUtf8(e.what())),
                 Status::failed);
    }
}

} // namespace lumacast::av
