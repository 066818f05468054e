#include "capture/TakeWriter.h"

#include "model/LogCategories.h"
#include "platform/av/MovieProbe.h"
#include "platform/av/TakeEncoder.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"
#include "store/AppLog.h"
#include "store/HeldFile.h"
#include "threads/ThreadBridge.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstddef>
#include <fcntl.h>

namespace lumacast {

using av::TakeEncoder;

namespace {

const char *boolText(bool b)
{
    return b ? "1" : "0";
}

bool isListedMicRate(double rate)
{
    static const double rates[] = {8000,  11025, 12000, 16000, 22050, 24000,
                                   32000, 44100, 48000, 64000, 88200, 96000};
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates);
}

} // namespace

TakeWriter::TakeWriter(const QString &outputPath) : m_outputPath(outputPath) {}

TakeWriter::~TakeWriter() = default;

av::VideoSettings TakeWriter::videoSettings(int width, int height)
{
    av::VideoSettings settings = av::videoSettingsForFrame(width, height);
    // Up to 1920x1080 one encoder thread costs the least CPU per frame and still encodes a
    // 60 fps frame in a third of its interval on this class of machine; larger frames are
    // spread over slices on every core so that they keep up.
    settings.threads = qint64(width) * height <= 1920 * 1080 ? 1 : 0;
    settings.colorPrimaries = QStringLiteral("ITU_R_709_2");
    settings.transferFunction = QStringLiteral("ITU_R_709_2");
    settings.yCbCrMatrix = QStringLiteral("ITU_R_709_2");
    return settings;
}

void TakeWriter::setUp(int width, int height, double micSampleRate, int micChannels,
                       bool captureSystemAudio, const std::optional<AudioEncodingPlan> &plan)
{
    auto writer = std::make_unique<TakeEncoder>(m_outputPath);
    if (keepsJournal)
        writer->keepJournal(av::TakeJournal::pathFor(m_outputPath), journalNote, journalOutlivesFinish);
    const av::VideoSettings video = videoSettings(width, height);
    const AudioSettingsAcceptor canApply = av::canApplyAudioSettings;
    int videoTrack = -1, micTrack = -1, systemTrack = -1;

    if (plan) {
        if (!canApply(plan->mic.settings))
            throw AudioPlanError::inapplicable(0);
        if (plan->system && !canApply(plan->system->settings))
            throw AudioPlanError::inapplicable(1);
        videoTrack = writer->addVideoTrack(video);
        if (!writer->canAddAudioTrack(plan->mic.settings))
            throw AudioPlanError::cannotAdd(0);
        micTrack = writer->addAudioTrack(plan->mic.settings);
        if (plan->system) {
            if (!writer->canAddAudioTrack(plan->system->settings))
                throw AudioPlanError::cannotAdd(1);
            systemTrack = writer->addAudioTrack(plan->system->settings);
        }
    } else {
        const double rate = isListedMicRate(micSampleRate) ? micSampleRate : 48000.0;
        const int channels = micChannels < 2 ? 1 : 2;
        const auto mic = micAudioSettings(rate, channels, canApply);
        const QString micFormat = av::decimalText(micSampleRate) + QStringLiteral("Hz/")
                                + QString::number(micChannels) + QStringLiteral("ch");
        if (!mic) {
            AppLog::shared().log(QStringLiteral("[writer] no valid AAC settings for mic format ")
                                 + micFormat + QStringLiteral(" — aborting take start"));
            throw WriterError(WriterError::Kind::noValidAudioSettings);
        }
        AppLog::shared().log(
            QStringLiteral("[writer] mic format ") + micFormat + QStringLiteral(" → AAC ")
            + mic->sampleRateText() + QStringLiteral("Hz/")
            + (mic->channels ? QString::number(*mic->channels) : QStringLiteral("?"))
            + QStringLiteral("ch bitrate=")
            + (mic->bitRate ? QString::number(*mic->bitRate) : QStringLiteral("default")));
        videoTrack = writer->addVideoTrack(video);
        micTrack = writer->addAudioTrack(*mic);
        if (captureSystemAudio) {
            if (const auto system = micAudioSettings(48000.0, 2, canApply)) {
                systemTrack = writer->addAudioTrack(*system);
                AppLog::shared().log(QStringLiteral("[writer] system-audio track enabled"));
            }
        }
    }

    m_writer = std::move(writer);
    m_frameInterval = SampleTime::make(1, video.frameRate);
    m_videoTrack = videoTrack;
    m_micTrack = micTrack;
    m_systemTrack = systemTrack;
}

long TakeWriter::statusNumber() const
{
    return m_writer ? long(m_writer->status()) : -1;
}

std::optional<av::EncoderError> TakeWriter::currentError() const
{
    if (!m_writer)
        return std::nullopt;
    return m_writer->error();
}

bool TakeWriter::wasCapturedWhilePaused(const SampleTime &captured) const
{
    if (!pausedAt.isValid() || !captured.isValid() || captured < pausedAt)
        return false;
    const bool resumedSincePause = resumedAt.isValid() && pausedAt <= resumedAt;
    return !resumedSincePause || captured < resumedAt;
}

void TakeWriter::appendVideo(const VideoFrame &frame)
{
    if (isPaused || wasCapturedWhilePaused(frame.timestamp) || m_startFailed || !m_writer || m_videoTrack < 0)
        return;
    const SampleTime adjusted = pauseTimeline.mapPicture(frame.timestamp, m_lastVideoAdjPTS, m_frameInterval, resumedAt);
    if (!adjusted.isValid())
        return;
    m_lastVideoAdjPTS = adjusted;

    if (!m_sessionStarted) {
        const bool started = m_writer->startWriting();
        holdMovie(); // made, also when what follows failed
        if (!started) {
            m_startFailed = true;
            const auto error = currentError();
            qCCritical(log::writer(), "startWriting failed: status=%ld error=%s", statusNumber(),
                       qUtf8Printable(error ? error->description() : QStringLiteral("nil")));
            if (onWriterFailed)
                onWriterFailed(error);
            return;
        }
        m_writer->startSession(adjusted.value, adjusted.timescale);
        m_sessionStarted = true;
        qCInfo(log::writer(), "session started (status=%ld)", statusNumber());
    }

    if (m_writer->status() == TakeEncoder::Status::writing
        && m_writer->isReadyForMoreMediaData(m_videoTrack)) {
        if (!m_writer->appendVideo(m_videoTrack, frame.bgra, frame.width, frame.height,
                                   frame.stride, adjusted.value, adjusted.timescale, frame.picture))
            ++m_droppedVideoFrames;
        return;
    }
    if (m_writer->status() == TakeEncoder::Status::failed && !m_startFailed) {
        m_startFailed = true;
        const auto error = currentError();
        qCCritical(log::writer(), "writer failed mid-recording: %s",
                   qUtf8Printable(error ? error->description() : QStringLiteral("nil")));
        if (onWriterFailed)
            onWriterFailed(error);
        return;
    }
    // The encoder is behind: this frame is dropped rather than waited for.
    ++m_droppedVideoFrames;
}

bool TakeWriter::isReadyForVideo() const
{
    return !m_writer || m_writer->status() != TakeEncoder::Status::writing
        || m_writer->isReadyForMoreMediaData(m_videoTrack);
}

void TakeWriter::appendMicAudio(const AudioBuffer &buffer)
{
    appendAudio(buffer, m_micTrack, m_mic);
}

void TakeWriter::appendSystemAudio(const AudioBuffer &buffer)
{
    appendAudio(buffer, m_systemTrack, m_system);
}

void TakeWriter::appendAudio(const AudioBuffer &buffer, int track, SoundPlace &place)
{
    if (!m_sessionStarted || !m_writer)
        return;
    if (m_writer->status() != TakeEncoder::Status::writing || track < 0)
        return;
    // Checked before re-timing, so that a buffer dropped here moves neither the track's last
    // output time nor the pause timeline.
    if (!m_writer->isReadyForMoreMediaData(track))
        return;
    const SoundRuns taken = pauseTimeline.mapSound(buffer.timestamp, buffer.frameCount, buffer.sampleRate, place,
                                                   isPaused, resumedAt);
    const std::ptrdiff_t bytesPerFrame =
        std::ptrdiff_t(buffer.channels) * (buffer.format == AudioBuffer::Format::float32 ? 4 : 2);
    for (int i = 0; i < taken.size; ++i) {
        const SoundRun &run = taken.runs[i];
        if (!run.output.isValid())
            continue;
        m_writer->appendAudio(track, static_cast<const uint8_t *>(buffer.samples) + run.first * bytesPerFrame,
                              run.count,
                              buffer.format == AudioBuffer::Format::float32 ? TakeEncoder::SampleFormat::float32
                                                                            : TakeEncoder::SampleFormat::int16,
                              buffer.sampleRate, buffer.channels, run.output.value, run.output.timescale);
    }
}

std::optional<double> TakeWriter::finish()
{
    {
        const auto error = currentError();
        qCInfo(log::writer(), "finish: writer=%s sessionStarted=%s status=%ld error=%s",
               boolText(bool(m_writer)), boolText(m_sessionStarted), statusNumber(),
               qUtf8Printable(error ? error->description() : QStringLiteral("nil")));
    }
    if (m_didFinish)
        return std::nullopt;
    m_didFinish = true;

    if (!m_writer || !m_sessionStarted || m_writer->status() != TakeEncoder::Status::writing) {
        m_finishFailure = currentError();
        // Stop the encoder before the file goes, so that nothing writes into a removed file.
        m_writer.reset();
        if (m_sessionStarted && m_finishFailure)
            if (const auto kept = keepWhatWasWritten())
                return kept;
        removeMovie();
        return std::nullopt;
    }

    m_writer->finishWriting();
    {
        const auto error = currentError();
        qCInfo(log::writer(), "post-finish status=%ld error=%s", statusNumber(),
               qUtf8Printable(error ? error->description() : QStringLiteral("nil")));
    }
    if (m_writer->status() == TakeEncoder::Status::failed) {
        // The movie's index was never written: the file cannot be played and is not a take.
        qCCritical(log::writer(), "finish: writer failed while finishing — removing %s",
                   qUtf8Printable(QFileInfo(m_outputPath).fileName()));
        m_finishFailure = currentError();
        m_writer.reset();
        if (const auto kept = keepWhatWasWritten())
            return kept;
        removeMovie();
        return std::nullopt;
    }
    const QString dropped = QStringLiteral("[writer] take ended — %1 video frames dropped (encoder busy)")
                                .arg(m_droppedVideoFrames);
    AppLog::shared().log(dropped);
    qCInfo(log::writer(), "%s", qUtf8Printable(dropped.mid(9)));

    const auto duration = av::movieDurationSeconds(m_movie ? m_movie->reach() : m_outputPath);
    if (!duration) {
        qCCritical(log::writer(), "finish: could not probe duration of %s — keeping the file",
                   qUtf8Printable(QFileInfo(m_outputPath).fileName()));
        return 0.0;
    }
    return duration;
}

QString TakeWriter::moviePath() const
{
    return m_movie ? m_movie->whereNow() : m_outputPath;
}

namespace {

// Another descriptor of what `made` reaches, read-only: it outlives the encoder's own.
int reopened(int made)
{
    return made < 0 ? -1 : ::open(QFile::encodeName(HeldFile::descriptorPath(made)).constData(), O_RDONLY | O_CLOEXEC);
}

} // namespace

// The movie and its journal are made with the first picture, and held from then on.
void TakeWriter::holdMovie()
{
    if (const int fd = reopened(m_writer->movieDescriptor()); fd >= 0)
        m_movie = std::make_shared<const HeldFile>(fd);
    if (const int fd = reopened(m_writer->journalDescriptor()); fd >= 0)
        m_journal = std::make_unique<const HeldFile>(fd);
}

// A take that gave nothing: its movie and journal go, where they are now. Nothing goes that the
// writer did not make, nothing once it has no name, nothing that stands under its name instead.
void TakeWriter::removeMovie()
{
    if (m_movie)
        m_movie->removeName();
    if (m_journal)
        m_journal->removeName();
}

// After the encoder failed: the samples that reached the movie, finished from the journal.
std::optional<double> TakeWriter::keepWhatWasWritten()
{
    const QString movie = moviePath();
    if (!keepsJournal || movie.isEmpty() || !m_journal || m_journal->whereNow() != av::TakeJournal::pathFor(movie))
        return std::nullopt;
    // On a full disk the index needs room: the last samples give it theirs.
    for (const std::int64_t spare : {0, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20}) {
        try {
            const av::TakeRecovery::Result kept = av::TakeRecovery::recover(movie, spare, journalOutlivesFinish);
            AppLog::shared().log(
                QStringLiteral("[writer] the take failed while recording — kept the %1 s written before the failure")
                    .arg(kept.seconds, 0, 'f', 2));
            return kept.seconds;
        } catch (const Error &e) {
            qCCritical(log::writer(), "finish: the take could not be kept (%lld bytes spared): %s",
                       static_cast<long long>(spare), qUtf8Printable(describeErrorChain(e)));
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<double>> TakeWriter::finishAsync()
{
    auto finishing = runInBackground("take finish", [this] { return finish(); });
    co_return co_await finishing;
}

} // namespace lumacast
