#include "capture/ScreenRecorder.h"

#include "capture/CursorAutoHide.h"
#include "capture/AudioRecorder.h"
#include "capture/SampleQueue.h"
#include "capture/SystemAudioCapture.h"
#include "capture/TakeWriter.h"
#include "platform/av/TakeEncoder.h"
#include "platform/av/TakeJournal.h"
#include "model/LogCategories.h"
#include "capture/OverlayGeometry.h"
#include "platform/audio/PulseAudio.h"
#include "platform/pipewire/PipeWireFrameSource.h"
#include "platform/pipewire/ScreenCastPortal.h"
#include "platform/x11/X11FrameSource.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include <unistd.h>

namespace lumacast {

namespace {

AudioBuffer toAudioBuffer(const AudioPacket &packet)
{
    AudioBuffer buffer;
    buffer.samples = packet.samples.data();
    buffer.frameCount = int(packet.frameCount());
    buffer.format = AudioBuffer::Format::float32;
    buffer.sampleRate = packet.sampleRate;
    buffer.channels = packet.channels;
    buffer.timestamp = SampleTime::fromNanoseconds(packet.monotonicNs);
    return buffer;
}

void removeFile(const QString &path)
{
    QFile::remove(path); // a failure leaves nothing worse than a stray file
    QFile::remove(av::TakeJournal::pathFor(path));
}

} // namespace

RecorderError::RecorderError(Kind kind)
    : Error(QStringLiteral("Lumacast.ScreenRecorder.RecorderError"), int(kind),
            QStringLiteral("No display is available to record")),
      m_kind(kind)
{
}

StreamError::StreamError(QString domain, int code, QString message)
    : Error(std::move(domain), code, std::move(message))
{
}

// The pictures come either from the X server (`frames`) or from the desktop's screen sharing
// (`portal`'s session and its PipeWire stream, `cast`).
struct ScreenRecorder::Stream {
    std::unique_ptr<x11::FrameSource> frames;
    std::shared_ptr<pipewire::ScreenCastPortal> portal;
    std::unique_ptr<pipewire::PipeWireFrameSource> cast;
    std::unique_ptr<SystemAudioCapture> systemAudio;

    void startPictures()
    {
        if (frames)
            frames->start();
        if (cast)
            cast->start();
    }

    void stop()
    {
        if (frames)
            frames->stop();
        if (cast)
            cast->stop();
        if (portal)
            portal->close();
        if (systemAudio)
            systemAudio->stop();
    }
};

ScreenRecorder::ScreenRecorder(QObject *parent)
    : ScreenRecorder(Preferences::shared().hideCursorWhenIdle(), Preferences::shared().cursorHideDelay(), parent)
{
}

ScreenRecorder::ScreenRecorder(bool cursorAutoHide, double cursorHideDelay, QObject *parent)
    : ScreenRecorder(cursorAutoHide, cursorHideDelay, captureRoadForSession(), parent)
{
}

ScreenRecorder::ScreenRecorder(bool cursorAutoHide, double cursorHideDelay, CaptureRoad road, QObject *parent)
    : QObject(parent),
      m_road(road),
      m_sampleQueue(std::make_shared<SampleQueue>(QString::fromLatin1(kApplicationIdentifier) + QStringLiteral(".samples"))),
      m_framesAppended(std::make_shared<std::atomic<uint64_t>>(0))
{
    CursorAutoHide::Hooks hooks;
    hooks.streamRunning = [this] {
        std::lock_guard lock(m_stateMutex);
        return m_stream && m_streamConfig;
    };
    hooks.applyShowsCursor = [this](bool shows) {
        std::lock_guard lock(m_stateMutex);
        if (!m_stream || !m_streamConfig)
            return;
        m_streamConfig->showsCursor = shows;
        // Live on the X server, and on a screen cast whose pointer we draw: the next frame
        // follows it. Where the desktop draws the pointer itself it stays as sharing began.
        if (m_stream->frames)
            m_stream->frames->setShowsCursor(shows);
        if (m_stream->cast)
            m_stream->cast->setShowsCursor(shows);
    };
    if (road == CaptureRoad::ScreenCastPortal) {
        // XWayland's pointer stands still over native windows; the cast's own pointer does not.
        hooks.mousePosition = [this, x11Pointer = CursorAutoHide::systemMousePosition()]() -> std::optional<QPointF> {
            {
                std::lock_guard lock(m_stateMutex);
                if (m_stream && m_stream->cast && m_stream->cast->drawsCursor())
                    return m_stream->cast->cursorPosition();
            }
            return x11Pointer();
        };
    }
    m_cursor = new CursorAutoHide(cursorAutoHide, cursorHideDelay, std::move(hooks), this);
    qCInfo(log::recorder(), "pictures come from %s", captureRoadName(m_road));
    // Windows made from now on are kept composited off-screen, so that the windows beneath ours
    // can be shown in their place.
    if (m_road == CaptureRoad::X11)
        (void)x11::pointerPosition();
}

ScreenRecorder::~ScreenRecorder()
{
    std::unique_ptr<Stream> stream;
    std::shared_ptr<AudioRecorder> audio;
    {
        std::lock_guard lock(m_stateMutex);
        stream = std::move(m_stream);
        audio = std::move(m_audio);
    }
    if (stream)
        stream->stop();
    if (audio)
        audio->stop();
    // Nothing queued may run once the fields it reads are gone: the stream's handlers hold the
    // queue too, so they go first.
    stream.reset();
    audio.reset();
    m_sampleQueue.reset();
    std::shared_ptr<TakeWriter> writer;
    {
        std::lock_guard lock(m_writerLock);
        writer = std::move(m_writer);
    }
    if (writer)
        writer->finish(); // a take cut short by quitting is still a playable movie
}

std::optional<uint32_t> ScreenRecorder::capturedDisplayID() const
{
    std::lock_guard lock(m_stateMutex);
    return m_capturedDisplayID;
}

bool ScreenRecorder::isRecording() const
{
    std::lock_guard lock(m_stateMutex);
    return bool(m_stream);
}

bool ScreenRecorder::hasMicrophone() const
{
    std::lock_guard lock(m_stateMutex);
    return bool(m_audio);
}

uint64_t ScreenRecorder::framesAppended() const
{
    return m_framesAppended->load();
}

std::shared_ptr<TakeWriter> ScreenRecorder::currentWriter() const
{
    std::lock_guard lock(m_writerLock);
    return m_writer;
}

void ScreenRecorder::installWriter(std::shared_ptr<TakeWriter> writer)
{
    std::lock_guard lock(m_writerLock);
    m_writer = std::move(writer);
}

void ScreenRecorder::setCursorAutoHide(bool enabled)
{
    m_cursor->setCursorAutoHide(enabled);
}

void ScreenRecorder::setCursorHideDelay(double seconds)
{
    m_cursor->setCursorHideDelay(seconds);
}

void ScreenRecorder::prepareMicrophone(const std::optional<QString> &deviceID)
{
    std::shared_ptr<AudioRecorder> previous;
    {
        std::lock_guard lock(m_stateMutex);
        previous = m_audio;
        m_micDeviceID = deviceID;
    }
    if (previous)
        previous->stop();
    std::weak_ptr<SampleQueue> queue = m_sampleQueue;
    auto recorder = std::make_shared<AudioRecorder>([queue](std::function<void()> block) {
        if (auto q = queue.lock())
            q->dispatch(std::move(block));
    });
    recorder->start(deviceID); // a failure leaves the previous recorder installed, stopped
    std::lock_guard lock(m_stateMutex);
    m_audio = std::move(recorder);
}

void ScreenRecorder::releasePreparedMicrophone()
{
    std::shared_ptr<AudioRecorder> prepared;
    {
        std::lock_guard lock(m_stateMutex);
        if (m_stream)
            return;
        prepared = std::move(m_audio);
    }
    if (prepared) {
        qCInfo(log::recorder(), "releasing the prepared microphone");
        prepared->stop();
    }
}

QCoro::Task<ScreenRecorder::FilterAndConfiguration> ScreenRecorder::makeFilterAndConfiguration(
    std::optional<x11::ShareableContent> content, std::optional<uint32_t> preferredDisplayID,
    std::optional<uint32_t> overlayWindowID, bool captureSystemAudio, CaptureTarget target)
{
    if (!content && m_road == CaptureRoad::ScreenCastPortal) {
        // The desktop's chooser picks the screen; XWayland's view of the displays only names
        // one when it has it. Without an X server the take still has its one display.
        try {
            content = x11::fetchShareableContent(true);
        } catch (const std::exception &e) {
            qCInfo(log::recorder(), "no X server beside the screen cast (%s)", e.what());
            content = x11::ShareableContent{};
        }
        if (content->displays.empty())
            content->displays.push_back(x11::DisplayInfo{1, QStringLiteral("screen"), QRect(0, 0, 2, 2), true});
    }
    if (!content)
        content = x11::fetchShareableContent(true);

    const x11::DisplayInfo *display = nullptr;
    if (preferredDisplayID) {
        for (const auto &d : content->displays) {
            if (d.id == *preferredDisplayID) {
                display = &d;
                break;
            }
        }
    }
    if (!display && !content->displays.empty())
        display = &content->displays.front();
    if (!display)
        throw RecorderError(RecorderError::Kind::noDisplay);

    qCInfo(log::recorder(), "recording display %u (%ldx%ld), preferred=%u", display->id,
           long(display->geometry.width()), long(display->geometry.height()), preferredDisplayID.value_or(0));

    // This application's windows never appear in a whole-screen take: our process is left out
    // whether or not it has windows yet, since the status panel appears after the start.
    const uint32_t ownPid = uint32_t(getpid());
    std::vector<uint32_t> ownApplications{ownPid};

    std::vector<uint32_t> windowIDs;
    windowIDs.reserve(content->windows.size());
    for (const auto &w : content->windows)
        windowIDs.push_back(w.id);
    const OverlayExceptions exceptions = overlayExceptionWindowIDs(overlayWindowID, windowIDs);
    if (exceptions.missing)
        qCCritical(log::recorder(), "overlay window %u not found in shareable content — recording screen-only",
                   *overlayWindowID);

    FilterAndConfiguration result;
    result.displayID = display->id;
    StreamConfiguration &config = result.configuration;
    const double scale = 1.0; // X11 geometry is in pixels already

    if (!target.isWholeScreen()) {
        result.filter = target.filter();
        const ContentFilter &filter = *result.filter;
        // The picked window may have been resized since the pick: record it at its size now.
        QRectF rect = filter.contentRect;
        if (const auto id = filter.windowID(); id && m_road == CaptureRoad::X11) {
            if (const auto now = x11::windowFrame(*id))
                rect = QRectF(*now);
        }
        const PixelSize size = evenPixelSize(rect.width(), rect.height(), filter.pointPixelScale);
        config.width = size.width;
        config.height = size.height;
        qCInfo(log::recorder(), "window capture contentRect=%s scale=%f config=%ldx%ld",
               qUtf8Printable(QStringLiteral("{{%1, %2}, {%3, %4}}")
                                  .arg(rect.x())
                                  .arg(rect.y())
                                  .arg(rect.width())
                                  .arg(rect.height())),
               filter.pointPixelScale, long(config.width), long(config.height));
    } else {
        result.filter = ContentFilter::forDisplay(display->id, QRectF(display->geometry), ownApplications,
                                                  exceptions.windowIDs);
        config.width = int(display->geometry.width() * scale);
        config.height = int(display->geometry.height() * scale);
    }
    if (captureSystemAudio) {
        config.capturesAudio = true;
        config.excludesCurrentProcessAudio = true;
    }
    co_return result;
}

QCoro::Task<void> ScreenRecorder::startRecording(QString outputURL, uint32_t displayID, ContentFilterRef filter,
                                                 StreamConfiguration configuration,
                                                 std::optional<AudioEncodingPlan> plan)
{
    if (!filter)
        throw Error(QStringLiteral("Nothing to record: no content filter"));
    if (plan) {
        configuration.capturesAudio = plan->system.has_value();
        if (configuration.capturesAudio)
            configuration.excludesCurrentProcessAudio = true;
    }
    // The desktop's screen sharing is asked first, unless it was before the countdown: it
    // decides the size of the take.
    std::unique_ptr<Stream> opened = std::move(m_askedStream);
    if (opened) {
        configuration.width = m_askedConfiguration.width;
        configuration.height = m_askedConfiguration.height;
    } else if (m_road == CaptureRoad::ScreenCastPortal) {
        opened = std::make_unique<Stream>();
        auto asking = openScreenCast(*opened, *filter, configuration);
        co_await asking;
    }
    // A writer that cannot be set up leaves its file where it is.
    const std::shared_ptr<TakeWriter> writer = setUpWriter(outputURL, configuration, plan);
    std::unique_ptr<Stream> stream = makeStream(displayID, *filter, configuration, std::move(opened));

    // From here on a failure takes back whatever has started and removes the file.
    std::exception_ptr failure;
    try {
        stream->startPictures();
        if (stream->systemAudio)
            stream->systemAudio->start();
        // A window is recorded wherever it goes: the take is tied to no display.
        const std::optional<uint32_t> captured = filter->style == ContentStyle::Window
                                                     ? std::nullopt
                                                     : std::optional<uint32_t>(filter->displayID.value_or(displayID));
        goLive(writer, std::move(stream), configuration, captured);
        connectMicrophone(writer);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        auto abandoning = abandonStart(std::move(stream), outputURL);
        co_await abandoning;
        std::rethrow_exception(failure);
    }
}

QCoro::Task<void> ScreenRecorder::askForScreen(ContentFilterRef filter, StreamConfiguration configuration)
{
    releaseAskedScreen();
    if (!filter)
        throw Error(QStringLiteral("Nothing to record: no content filter"));
    m_askCancelled = false;
    auto stream = std::make_unique<Stream>();
    auto asking = openScreenCast(*stream, *filter, configuration);
    std::exception_ptr failure;
    try {
        co_await asking;
    } catch (...) {
        failure = std::current_exception();
    }
    m_asking.reset();
    // A share granted after the user gave up is ended unused: no take may start from it.
    if (m_askCancelled) {
        stream->stop();
        throw pipewire::PortalError(pipewire::PortalError::Kind::cancelled,
                                    QStringLiteral("Recording was cancelled while the desktop's screen sharing was asked"));
    }
    if (failure)
        std::rethrow_exception(failure);
    m_askedStream = std::move(stream);
    m_askedConfiguration = configuration;
}

void ScreenRecorder::cancelAskingForScreen()
{
    m_askCancelled = true;
    if (m_asking)
        m_asking->cancel();
}

void ScreenRecorder::releaseAskedScreen()
{
    if (std::unique_ptr<Stream> asked = std::move(m_askedStream))
        asked->stop();
}

void ScreenRecorder::setNextTakeJournalNote(const QByteArray &note)
{
    m_nextJournalNote = note;
}

std::shared_ptr<TakeWriter> ScreenRecorder::setUpWriter(const QString &outputURL,
                                                        const StreamConfiguration &configuration,
                                                        const std::optional<AudioEncodingPlan> &plan)
{
    auto writer = std::make_shared<TakeWriter>(outputURL);
    writer->keepsJournal = !plan;
    writer->journalOutlivesFinish = true; // the state manager removes it once a manifest names the take
    writer->journalNote = std::exchange(m_nextJournalNote, QByteArray());
    double micRate = 48000;
    int micChannels = 2;
    std::shared_ptr<AudioRecorder> audio;
    {
        std::lock_guard lock(m_stateMutex);
        audio = m_audio;
    }
    if (audio) {
        if (const auto format = audio->inputFormat()) {
            micRate = format->first;
            micChannels = format->second;
        }
    }
    writer->setUp(configuration.width, configuration.height, micRate, micChannels, configuration.capturesAudio,
                  plan);
    return writer;
}

QCoro::Task<void> ScreenRecorder::openScreenCast(Stream &stream, const ContentFilter &filter,
                                                 StreamConfiguration &configuration)
{
    const bool window = filter.style == ContentStyle::Window;
    const QString kind = window ? QStringLiteral("window") : QStringLiteral("monitor");
    pipewire::CastRequest request;
    request.source = window ? pipewire::CastRequest::Source::Window : pipewire::CastRequest::Source::Monitor;
    request.embedsCursor = configuration.showsCursor;
    request.restoreToken = Preferences::shared().screenCastRestoreToken(kind);
    request.answerTimeoutMs = m_screenAnswerTimeoutMs;
    auto portal = std::make_shared<pipewire::ScreenCastPortal>();
    stream.portal = portal;
    m_asking = portal;
    // The chooser waits for the user: the portal is asked on a thread of its own.
    auto asking = runInBackground("lumacast-portal", [portal, request] { return portal->start(request); });
    const pipewire::CastStream cast = co_await asking;
    m_asking.reset();
    if (cast.restoreToken)
        Preferences::shared().setScreenCastRestoreToken(kind, cast.restoreToken);
    if (cast.width > 0 && cast.height > 0) {
        const PixelSize size = evenPixelSize(cast.width, cast.height, 1.0);
        configuration.width = size.width;
        configuration.height = size.height;
    }
    pipewire::StreamConfig config;
    config.pipeWireFd = portal->takePipeWireFd();
    config.nodeId = cast.nodeId;
    config.width = configuration.width;
    config.height = configuration.height;
    config.framesPerSecond = configuration.framesPerSecond();
    config.longestHoldNs = int64_t(av::TakeEncoder::kLongestHoldSeconds) * 1000000000;
    config.cursorMetadata = cast.cursorAsMetadata;
    config.showsCursor = configuration.showsCursor;
    // A window's cast may come in monitor-sized buffers that mark the window's part: the take is
    // the size of that part, which the first picture tells.
    config.sizeFromPicture = window;
    stream.cast = std::make_unique<pipewire::PipeWireFrameSource>(config);
    if (window) {
        pipewire::PipeWireFrameSource *cast = stream.cast.get();
        auto settling = runInBackground("lumacast-portal", [cast] { return cast->settleSize(std::chrono::seconds(5)); });
        const QSize size = co_await settling;
        configuration.width = size.width();
        configuration.height = size.height();
    }
    qCInfo(log::recorder(), "screen cast of a %s: %dx%d at %d frames a second", qUtf8Printable(kind),
           configuration.width, configuration.height, config.framesPerSecond);
}

std::unique_ptr<ScreenRecorder::Stream> ScreenRecorder::makeStream(uint32_t displayID, const ContentFilter &filter,
                                                                   const StreamConfiguration &configuration,
                                                                   std::unique_ptr<Stream> opened)
{
    const std::shared_ptr<SampleQueue> queue = m_sampleQueue;
    const auto counter = m_framesAppended;
    counter->store(0);
    // Either source's frame: it keeps its pixels alive until the queue has handed them on.
    const auto appendFrame = [this, queue, counter](const auto &frame) {
        queue->dispatch([this, frame, counter] {
            auto w = currentWriter();
            if (!w)
                return;
            VideoFrame video;
            video.bgra = frame.data;
            video.width = frame.width;
            video.height = frame.height;
            video.stride = frame.stride;
            video.timestamp = SampleTime::fromNanoseconds(frame.timestampNs);
            if constexpr (requires { frame.picture; })
                video.picture = frame.picture; // a repeated picture is not converted again
            w->appendVideo(video);
            counter->fetch_add(1);
        });
    };
    // The screen cast opened by the portal, or screen frames from the X server; and the
    // system audio when asked for.
    std::unique_ptr<Stream> stream = opened ? std::move(opened) : std::make_unique<Stream>();
    if (stream->cast) {
        stream->cast->setFrameHandler(appendFrame);
        stream->cast->setErrorHandler([this](const pipewire::PortalError &error) { reportStreamError(error.message()); });
    } else {
        makeX11Frames(*stream, displayID, filter, configuration);
        stream->frames->setFrameHandler(appendFrame);
        stream->frames->setErrorHandler([this](const x11::X11Error &error) { reportStreamError(error.message()); });
    }
    if (configuration.capturesAudio) {
        std::weak_ptr<SampleQueue> weakQueue = m_sampleQueue;
        stream->systemAudio = std::make_unique<SystemAudioCapture>([weakQueue](std::function<void()> block) {
            if (auto q = weakQueue.lock())
                q->dispatch(std::move(block));
        });
        stream->systemAudio->setOnSample([this](const AudioPacket &packet) {
            if (auto w = currentWriter())
                w->appendSystemAudio(toAudioBuffer(packet));
        });
    }
    return stream;
}

void ScreenRecorder::makeX11Frames(Stream &stream, uint32_t displayID, const ContentFilter &filter,
                                   const StreamConfiguration &configuration)
{
    x11::CaptureConfig capture;
    if (filter.style == ContentStyle::Window && filter.windowID()) {
        capture.kind = x11::CaptureConfig::Kind::Window;
        capture.windowId = *filter.windowID();
    } else {
        capture.kind = x11::CaptureConfig::Kind::Display;
        capture.displayId = filter.displayID.value_or(displayID);
        capture.excludedPids = filter.excludedApplications;
        capture.exceptedWindows = filter.exceptingWindows;
    }
    capture.width = configuration.width;
    capture.height = configuration.height;
    capture.framesPerSecond = configuration.framesPerSecond();
    capture.showsCursor = configuration.showsCursor;
    stream.frames = std::make_unique<x11::FrameSource>(capture);
}

void ScreenRecorder::goLive(const std::shared_ptr<TakeWriter> &writer, std::unique_ptr<Stream> stream,
                            const StreamConfiguration &configuration, std::optional<uint32_t> displayID)
{
    writer->onWriterFailed = [this](const std::optional<av::EncoderError> &error) {
        // The writer has logged its failure already.
        if (!onStreamError)
            return;
        if (error)
            onStreamError(StreamError(QString::fromLatin1(kApplicationIdentifier), error->code(), error->description()));
        else
            onStreamError(StreamError(QString::fromLatin1(kApplicationIdentifier), -1,
                                      QStringLiteral("Recording failed (disk full?)")));
    };
    installWriter(writer);
    {
        std::lock_guard lock(m_stateMutex);
        m_stream = std::move(stream);
        m_streamConfig = configuration;
        m_capturedDisplayID = displayID;
        // Pictures a cast delivered before the writer was there went nowhere (a window's cast has
        // run since its size was learnt): the take begins with the last of them.
        if (m_stream->cast)
            m_stream->cast->handOnAgain();
    }
    if (m_cursor->isEnabled())
        postToMainThread(QPointer<CursorAutoHide>(m_cursor), [c = m_cursor] { c->startCursorTimer(); });
}

void ScreenRecorder::connectMicrophone(const std::shared_ptr<TakeWriter> &writer)
{
    // Normally prepared before the countdown. A missing one, or one whose session a failed
    // prepare left stopped, is started now so that the take has its sound.
    std::shared_ptr<AudioRecorder> audio;
    std::optional<QString> micDevice;
    {
        std::lock_guard lock(m_stateMutex);
        audio = m_audio;
        micDevice = m_micDeviceID;
    }
    if (!audio || !audio->isRunning()) {
        std::weak_ptr<SampleQueue> weakQueue = m_sampleQueue;
        auto fresh = std::make_shared<AudioRecorder>([weakQueue](std::function<void()> block) {
            if (auto q = weakQueue.lock())
                q->dispatch(std::move(block));
        });
        fresh->start(micDevice);
        if (audio)
            audio->stop();
        audio = fresh;
        std::lock_guard lock(m_stateMutex);
        m_audio = audio;
    }
    std::weak_ptr<TakeWriter> weakWriter = writer;
    audio->setOnSample([weakWriter](const AudioPacket &packet) {
        if (auto w = weakWriter.lock())
            w->appendMicAudio(toAudioBuffer(packet));
    });
    // A sound server that goes away mid-take ends the take as a lost picture stream does; what
    // was written so far is kept. Cleared with the sample callback when the take ends.
    audio->setOnFailure([this](const QString &reason) {
        reportStreamError(QStringLiteral("The microphone stopped delivering sound: ") + reason);
    });
}

QCoro::Task<void> ScreenRecorder::abandonStart(std::unique_ptr<Stream> stream, QString outputURL)
{
    // A stream that never went live is still the caller's; one that did is taken back, with the
    // writer and the cursor timer it brought.
    const bool wasLive = !stream;
    if (wasLive) {
        {
            std::lock_guard lock(m_stateMutex);
            stream = std::move(m_stream);
            m_streamConfig.reset();
            m_capturedDisplayID.reset();
        }
        postToMainThread(QPointer<CursorAutoHide>(m_cursor), [c = m_cursor] { c->stopCursorTimer(); });
        installWriter(nullptr);
    }
    // The file goes only once no picture can begin it any more: the first picture on the sample
    // queue begins the movie and its journal, and one that took the writer before it was
    // dropped may be doing so now. The pictures stop, then everything queued runs out.
    auto draining = runInBackground("start abandon", [pictures = stream.get(), queue = m_sampleQueue] {
        if (pictures)
            pictures->stop();
        queue->sync([] {});
    });
    co_await draining;
    removeFile(outputURL);
}

namespace {
// The moment of a pause or resume on the capture clock (CLOCK_MONOTONIC, as frames and audio
// are stamped), taken when the user acts rather than when the sample queue gets to it.
SampleTime captureClockNow()
{
    return SampleTime::fromNanoseconds(pulse::monotonicNanoseconds());
}
} // namespace

void ScreenRecorder::pause()
{
    qCInfo(log::recorder(), "pause");
    const SampleTime at = captureClockNow();
    {
        // A screen cast sends no picture while the screen is still: the one shown is held up to
        // the pause, ahead of it on the queue, so that the sound before the pause is kept.
        std::lock_guard lock(m_stateMutex);
        if (m_stream && m_stream->cast)
            m_stream->cast->pause(at.value);
    }
    m_sampleQueue->dispatch([this, at] {
        if (auto w = currentWriter()) {
            w->isPaused = true;
            w->pausedAt = at;
        }
    });
}

void ScreenRecorder::resume()
{
    qCInfo(log::recorder(), "resume");
    const SampleTime at = captureClockNow();
    m_sampleQueue->dispatch([this, at] {
        if (auto w = currentWriter()) {
            w->isPaused = false;
            w->resumedAt = at;
            w->pauseTimeline.resumePending = true;
        }
    });
    // The take goes on with the picture on screen now, which may have come while paused.
    std::lock_guard lock(m_stateMutex);
    if (m_stream && m_stream->cast)
        m_stream->cast->resume(at.value);
}

QCoro::Task<std::optional<ScreenRecorder::Recording>> ScreenRecorder::stopRecording()
{
    m_lastTakeFailure.reset();
    bool hasStream = false;
    {
        std::lock_guard lock(m_stateMutex);
        hasStream = bool(m_stream);
    }
    qCInfo(log::recorder(), "stop: stream=%s writer=%s", hasStream ? "true" : "false",
           currentWriter() ? "true" : "false");
    if (!hasStream) {
        // A start that failed after the microphone was prepared leaves it running: it is
        // stopped here, or it would keep the device open until the next take.
        std::shared_ptr<AudioRecorder> orphan;
        {
            std::lock_guard lock(m_stateMutex);
            orphan = std::move(m_audio);
        }
        if (orphan) {
            qCInfo(log::recorder(), "stop: releasing the prepared microphone");
            auto stopping = runInBackground("mic release", [orphan] { orphan->stop(); });
            co_await stopping;
        }
        co_return std::nullopt;
    }

    postToMainThread(QPointer<CursorAutoHide>(m_cursor), [c = m_cursor] { c->stopCursorTimer(); });

    std::unique_ptr<Stream> stream;
    std::shared_ptr<AudioRecorder> audio;
    {
        std::lock_guard lock(m_stateMutex);
        audio = m_audio;
    }
    std::shared_ptr<SampleQueue> queue = m_sampleQueue;
    {
        std::lock_guard lock(m_stateMutex);
        stream = std::move(m_stream);
        m_streamConfig.reset();
        m_capturedDisplayID.reset();
        m_audio.reset();
    }
    // Microphone first, then the capture; then a barrier on the sample queue, after which every
    // buffer queued before it has reached the writer.
    auto draining = runInBackground("capture drain", [audio, &stream, queue] {
        if (audio)
            audio->stop();
        stream->stop();
        queue->sync([audio] {
            if (audio) {
                audio->setOnSample(nullptr);
                audio->setOnFailure(nullptr);
            }
        });
    });
    co_await draining;
    if (stream->cast)
        m_lastCastCounts = CastCounts{stream->cast->picturesReceived(), stream->cast->picturesSkipped()};
    stream.reset();

    std::shared_ptr<TakeWriter> writer = currentWriter();
    if (!writer)
        co_return std::nullopt;
    std::optional<double> duration;
    auto finishing = runInBackground("take finish", [writer, &duration] { duration = writer->finish(); });
    co_await finishing;
    installWriter(nullptr);

    const QString fileName = QFileInfo(writer->outputPath()).fileName();
    const QString movie = writer->moviePath();
    if (!duration) {
        m_lastTakeFailure = writer->finishFailure();
        qCCritical(log::recorder(), "stopRecording: no usable take produced for %s: %s", qUtf8Printable(fileName),
                   m_lastTakeFailure ? qUtf8Printable(describeErrorChain(*m_lastTakeFailure)) : "no encoder error");
        co_return std::nullopt;
    }
    qCInfo(log::recorder(), "stopRecording: %s duration=%fs%s", qUtf8Printable(fileName), *duration,
           movie.isEmpty() ? ", its folder gone" : "");
    co_return Recording{movie, *duration, writer->heldMovie()};
}

void ScreenRecorder::reportStreamError(const QString &message, int code)
{
    qCCritical(log::recorder(), "stream stopped with error: %s", qUtf8Printable(message));
    if (onStreamError)
        onStreamError(StreamError(QString::fromLatin1(kApplicationIdentifier), code, message));
}

} // namespace lumacast
