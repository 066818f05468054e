#include "media/MovieExportPaths.h"

#include "media/AudioMixdown.h"
#include "media/CanvasComposition.h"
#include "media/ExportErrors.h"
#include "media/WorkingItem.h"
#include "platform/av/TranscodeCanvasVideo.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <mutex>
#include <thread>

namespace lumacast::session_exporter {

using av::Composition;
using av::MediaError;
using av::MediaTime;
using av::MediaType;

namespace {

bool isCancellation(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MediaError &e) {
        return e.code() == MediaError::Cancelled;
    } catch (...) {
    }
    return false;
}

// The composition's video track alone, for copying beside a separately made audio track. A gap
// that holds the picture before it comes back as the stretch after it is inserted.
Composition videoOnly(const Composition &composition, int videoTrack)
{
    Composition video;
    const int track = video.addTrack(MediaType::Video);
    for (const av::CompositionSegment &s : composition.segments(videoTrack)) {
        if (s.isEmpty()) {
            if (s.black)
                video.insertEmptyTimeRange(track, s.target);
        } else {
            video.insertTimeRange(track, s.sourceRange, s.asset, s.sourceTrack, s.target.start);
        }
    }
    return video;
}

bool hasSource(const Composition &composition)
{
    for (int t = 0; t < composition.trackCount(); ++t)
        for (const av::CompositionSegment &s : composition.segments(t))
            if (!s.isEmpty())
                return true;
    return false;
}

float systemLevel(const ExportContext &context)
{
    return context.options.systemAudioMixLevel ? float(context.options.systemAudioMixLevel()) : 1.0f;
}

// Progress of two pumps running side by side: the slower one's.
class PumpProgress {
public:
    explicit PumpProgress(std::function<void(double)> report, double scale = 1.0)
        : m_report(std::move(report)), m_scale(scale)
    {
    }
    // Each pump reports from its own thread: both fractions are read and written under the mutex.
    std::function<void(double)> video()
    {
        return [this](double f) { update(&PumpProgress::m_video, f); };
    }
    std::function<void(double)> audio()
    {
        return [this](double f) { update(&PumpProgress::m_audio, f); };
    }

private:
    void update(double PumpProgress::*side, double fraction)
    {
        if (!m_report)
            return;
        std::lock_guard lock(m_mutex);
        this->*side = std::max(this->*side, fraction);
        m_report(std::min(1.0, std::min(m_video, m_audio)) * m_scale);
    }
    std::function<void(double)> m_report;
    double m_scale;
    std::mutex m_mutex;
    double m_video = 0, m_audio = 0;
};

// Runs the audio mix on a thread of its own while `video` runs on this one; `video` gets a
// function that waits for the audio and rethrows its failure. A failure of either side stops
// the other, so neither waits for a partner that will never finish. The failure is logged as
// one "FAILED at" line and thrown.
void runPumps(const AudioMix &mix, const QString &audioPath, PumpProgress &progress, std::atomic<bool> &stop,
              const std::function<void(const std::function<void()> &awaitAudio)> &video)
{
    std::exception_ptr audioFailure;
    std::thread audio([&] {
        nameCurrentThread("audio pump");
        try {
            writeAudioMix(mix, audioPath, &stop, progress.audio());
        } catch (...) {
            audioFailure = std::current_exception();
            stop = true;
        }
    });
    auto awaitAudio = [&] {
        if (audio.joinable())
            audio.join();
        if (audioFailure)
            std::rethrow_exception(audioFailure);
    };
    std::exception_ptr videoFailure;
    try {
        video(awaitAudio);
        awaitAudio();
    } catch (...) {
        videoFailure = std::current_exception();
        stop = true;
    }
    if (audio.joinable())
        audio.join();
    std::exception_ptr failure = videoFailure;
    if (audioFailure && (!failure || isCancellation(failure) || failure == audioFailure))
        failure = audioFailure;
    if (failure)
        std::rethrow_exception(logFailure(pumpFailureStep(failure), failure));
}

} // namespace

void exportPassthrough(const ExportContext &context, const RenderedMap &rendered)
{
    WorkingItem item(context.destination, QStringLiteral(".mov"));
    const QString working = item.path();
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int mic = composition.addTrack(MediaType::Audio);
    assembleTakes(context.takes, context.takesFolder, composition, video, mic, std::nullopt, rendered);
    if (!hasSource(composition))
        throw ExportError(ExportError::Code::cannotCreateExportSession);

    av::PassthroughOptions options;
    if (context.progress)
        options.progress = [&](double f) { context.progress(std::min(1.0, f)); };
    try {
        av::writePassthrough(composition, working, options);
    } catch (...) {
        const auto error = std::current_exception();
        removeIfPresent(working);
        exportLog(QStringLiteral("FAILED at passthrough export session: ") + describeErrorChain(error));
        throw;
    }
    if (context.progress)
        context.progress(1.0);
    item.commit();
}

void exportWithAudioMixdown(const ExportContext &context, const RenderedMap &rendered)
{
    WorkingItem item(context.destination, QStringLiteral(".mov"));
    const WorkingItem audioItem(context.destination, QStringLiteral(".mov"));
    const QString working = item.path();
    const QString audioPath = audioItem.path();
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int mic = composition.addTrack(MediaType::Audio);
    const int system = composition.addTrack(MediaType::Audio);
    const AssembledTakes assembled =
        assembleTakes(context.takes, context.takesFolder, composition, video, mic, system, rendered);
    const Composition pictures = videoOnly(composition, video);

    const AudioMix mix{&composition, mic, system, systemLevel(context), assembled.endTime};
    PumpProgress progress(context.progress);
    std::atomic<bool> stop{false};
    runPumps(mix, audioPath, progress, stop, [&](const std::function<void()> &awaitAudio) {
        av::PassthroughOptions options;
        options.cancelled = &stop;
        options.progress = progress.video();
        options.appendTracks = [&](av::MovieWriter &writer) {
            awaitAudio();
            appendCopiedAudioTrack(writer, audioPath);
        };
        av::writePassthrough(pictures, working, options);
    });
    if (context.progress)
        context.progress(1.0);
    item.commit();
}

void exportReencodingWholeVideo(const ExportContext &context, bool hasSystemAudio, const QSizeF &canvas)
{
    WorkingItem item(context.destination, QStringLiteral(".mov"));
    const WorkingItem audioItem(context.destination, QStringLiteral(".mov"));
    const WorkingItem videoItem(context.destination, QStringLiteral(".mov"));
    const QString working = item.path();
    const QString audioPath = audioItem.path();
    const QString videoPath = videoItem.path();
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int mic = composition.addTrack(MediaType::Audio);
    std::optional<int> system;
    if (hasSystemAudio)
        system = composition.addTrack(MediaType::Audio);
    const AssembledTakes assembled =
        assembleTakes(context.takes, context.takesFolder, composition, video, mic, system, {});
    const CanvasComposition pictureLayout =
        makeCanvasComposition(assembled.segments, canvas, composition.duration(), composition.trackEnd(video));

    av::CanvasVideoRequest request;
    request.width = int(canvas.width());
    request.height = int(canvas.height());
    request.settings = context.options.videoSettings(request.width, request.height);
    request.totalDuration = assembled.endTime;
    request.outputPath = videoPath;
    request.beforeAppend = context.options.beforeVideoAppend;
    // Each stretch of the video track is drawn with the placement of the instruction covering it;
    // what no take covers is black.
    for (const av::CompositionSegment &s : composition.segments(video)) {
        av::CanvasVideoSegment segment{s.asset, s.sourceTrack, s.sourceRange, s.target, {}};
        for (const CanvasInstruction &i : pictureLayout.instructions)
            if (i.timeRange.start <= s.target.start && s.target.start < i.timeRange.end())
                segment.transform = i.transform;
        if (!s.isEmpty() && segment.transform.isIdentity())
            segment.transform = canvasTransform(s.asset->tracks()[s.sourceTrack], canvas);
        request.segments.append(segment);
    }
    if (assembled.endTime > composition.trackEnd(video))
        request.segments.append(av::CanvasVideoSegment{
            nullptr, -1, {}, {composition.trackEnd(video), assembled.endTime - composition.trackEnd(video)}, {}});

    const AudioMix mix{&composition, mic, system, system ? systemLevel(context) : 1.0f, assembled.endTime};
    // The render is most of the work; copying the two results into one movie is the rest.
    PumpProgress progress(context.progress, 0.95);
    const double total = std::max(0.001, assembled.endTime.seconds());
    std::atomic<bool> stop{false};
    request.cancelled = &stop;
    auto videoProgress = progress.video();
    request.progress = [&](double seconds) { videoProgress(std::min(1.0, seconds / total)); };
    av::CanvasVideoRender render(std::move(request));
    try {
        render.createWriter();
    } catch (...) {
        std::rethrow_exception(logFailure(QStringLiteral("creating writer at ") + videoPath, std::current_exception()));
    }
    runPumps(mix, audioPath, progress, stop, [&](const std::function<void()> &awaitAudio) {
        render.run();
        awaitAudio();
        Composition rendered;
        const int track = rendered.addTrack(MediaType::Video);
        const auto movie = av::Asset::open(videoPath);
        for (const av::AssetTrack &t : movie->tracks())
            if (t.mediaType == MediaType::Video) {
                rendered.insertTimeRange(track, t.timeRange, movie, t.index, MediaTime::zero());
                break;
            }
        av::PassthroughOptions options;
        options.cancelled = &stop;
        options.appendTracks = [&](av::MovieWriter &writer) { appendCopiedAudioTrack(writer, audioPath); };
        if (context.progress)
            options.progress = [&](double f) { context.progress(0.95 + 0.05 * std::min(1.0, f)); };
        av::writePassthrough(rendered, working, options);
    });
    if (context.progress)
        context.progress(1.0);
    item.commit();
}

} // namespace lumacast::session_exporter
