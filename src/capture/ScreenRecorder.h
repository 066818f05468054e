#pragma once

#include "capture/AudioEncodingPlan.h"
#include "capture/CaptureRoad.h"
#include "capture/CaptureTarget.h"
#include "model/Error.h"
#include "platform/av/TakeEncoderSettings.h"
#include "platform/x11/X11Content.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace lumacast {

namespace pipewire {
class ScreenCastPortal;
}

class AudioRecorder;
class CursorAutoHide;
class HeldFile;
class SampleQueue;
class TakeWriter;

// How the capture stream runs.
struct StreamConfiguration {
    int width = 0;  // pixels
    int height = 0; // pixels
    int minimumFrameIntervalValue = 1;
    int minimumFrameIntervalTimescale = 60; // at most 60 frames per second
    bool showsCursor = true;
    // pixelFormat, colorSpaceName and excludesCurrentProcessAudio complete the configuration every
    // take is described with, but nothing on Linux reads them: the X11 frame source only delivers
    // BGRA as the screen shows it, and the system audio is the output monitor as a whole.
    uint32_t pixelFormat = 0x42475241; // 32-bit BGRA
    QString colorSpaceName = QStringLiteral("sRGB");
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;

    int framesPerSecond() const
    {
        return minimumFrameIntervalValue > 0 ? minimumFrameIntervalTimescale / minimumFrameIntervalValue : 60;
    }
};

// The recorder's own failure: domain "Lumacast.ScreenRecorder.RecorderError", code the case's
// position in `Kind`.
class RecorderError : public Error {
public:
    enum class Kind { noDisplay };
    explicit RecorderError(Kind kind);
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// A failure while recording, as the owner's stream-error callback receives it: the application's
// identifier as the domain, and the code of the failure it stands for.
class StreamError : public Error {
public:
    StreamError(QString domain, int code, QString message);
};

// Records one take at a time: turns the capture target, the preferred display and the
// system-audio setting into a filter and a stream configuration, runs the screen capture
// together with the microphone (and the system audio), and routes every frame and audio buffer
// to the take writer on one serial sample queue. Reports stream and writer failures through
// `onStreamError`; hides the cursor in the recording while the mouse rests.
//
// Called from the main thread. Callbacks may arrive on any thread.
//
// Await the returned tasks through a named variable (`auto t = recorder.startRecording(...);
// co_await t;`): GCC 12 destroys a temporary that is converted into an argument inside a
// co_await expression twice (an AudioEncodingPlan turned into the optional plan, a lambda
// turned into a std::function), which corrupts whatever it holds.
class ScreenRecorder : public QObject {
    Q_OBJECT
public:
    struct FilterAndConfiguration {
        uint32_t displayID = 0;
        ContentFilterRef filter;
        StreamConfiguration configuration;
    };
    struct Recording {
        // The movie's file where it is now (its folder may have been renamed or moved on its
        // disk meanwhile); empty when it has no name any more: its folder was deleted, or moved
        // to another disk, while it was recorded.
        QString path;
        double duration = 0;
        // The movie held open, readable with or without a name until the last copy goes.
        std::shared_ptr<const HeldFile> movie = nullptr;
    };

    // Reads the two cursor settings from Preferences. The capture road is the session's.
    explicit ScreenRecorder(QObject *parent = nullptr);
    // With explicit cursor settings (tools and tests).
    ScreenRecorder(bool cursorAutoHide, double cursorHideDelay, QObject *parent = nullptr);
    ScreenRecorder(bool cursorAutoHide, double cursorHideDelay, CaptureRoad road, QObject *parent = nullptr);

    CaptureRoad captureRoad() const { return m_road; }
    ~ScreenRecorder() override;

    // Opens and starts the microphone ahead of the countdown; its buffers are discarded until a
    // take connects them. Throws AudioRecorder::AudioError or pulse::PulseError.
    void prepareMicrophone(const std::optional<QString> &deviceID);
    // Stops and drops the prepared microphone of a take that did not start. Nothing while a
    // take is recording (its microphone belongs to it) or when none is prepared.
    void releasePreparedMicrophone();
    // The words the next take's journal opens with (which session and scene it is for); used by
    // the next `startRecording` of a take only. A tail keeps no journal: a crash loses it whole.
    void setNextTakeJournalNote(const QByteArray &note);

    // Throws RecorderError (no display) or Error (the window list cannot be read).
    QCoro::Task<FilterAndConfiguration> makeFilterAndConfiguration(std::optional<x11::ShareableContent> content,
                                                                   std::optional<uint32_t> preferredDisplayID,
                                                                   std::optional<uint32_t> overlayWindowID,
                                                                   bool captureSystemAudio, CaptureTarget target);

    // On return the take is being recorded. Throws the writer's set-up errors (no file was made
    // then, and one already there stays), or Error / the microphone's error when the capture
    // cannot start (the movie and its journal, which the first picture may have begun, are
    // removed before the error is thrown).
    // On the screen-sharing road the desktop is asked first (its chooser, unless it restores the
    // last choice of that kind): a dismissed chooser throws pipewire::PortalError `cancelled`, a
    // failed one `failed`, and no file is made; the size of the take is the shared picture's.
    QCoro::Task<void> startRecording(QString outputURL, uint32_t displayID, ContentFilterRef filter,
                                     StreamConfiguration configuration,
                                     std::optional<AudioEncodingPlan> plan = std::nullopt);

    // On the screen-sharing road the desktop is asked what to share ahead of the countdown, so
    // that the take begins a countdown after the user's choice, not the moment they make it.
    // `askForScreen` keeps the shared picture for the next `startRecording`, which then asks
    // nothing; it throws as `startRecording` does for the portal (`noAnswer` after
    // `setScreenAnswerTimeout`). `cancelAskingForScreen` makes an ask under way throw `cancelled`
    // at once, whatever the desktop answers later; `releaseAskedScreen` ends a kept share whose
    // take did not start. Main thread.
    bool desktopChoosesScreen() const { return m_road == CaptureRoad::ScreenCastPortal; }
    QCoro::Task<void> askForScreen(ContentFilterRef filter, StreamConfiguration configuration);
    void cancelAskingForScreen();
    void releaseAskedScreen();
    void setScreenAnswerTimeout(int milliseconds) { m_screenAnswerTimeoutMs = milliseconds; }

    void pause();
    void resume();

    // Ends the take: the movie and its duration, or nothing when no take was running or no
    // usable take was produced.
    QCoro::Task<std::optional<Recording>> stopRecording();
    // Why the last stopRecording gave no take: the take writer's encoder error, when it gave
    // one (for tools). Main thread.
    std::optional<av::EncoderError> lastTakeFailure() const { return m_lastTakeFailure; }

    std::function<void(const StreamError &)> onStreamError;
    // Never called on this platform (it has no presenter overlay); kept for the owner's wiring.
    std::function<void(bool)> onVideoEffectChanged;

    // The display the running take records; nothing for a window, which no display's change ends.
    std::optional<uint32_t> capturedDisplayID() const;
    bool isRecording() const;
    bool hasMicrophone() const;

    void setCursorAutoHide(bool enabled);
    void setCursorHideDelay(double seconds);
    CursorAutoHide &cursorAutoHide() const { return *m_cursor; }

    // Frames handed to the writer during the current or last take (for tools).
    uint64_t framesAppended() const;
    // The last screen cast's pictures as PipeWire delivered them, and those it skipped (tools).
    struct CastCounts {
        uint64_t received = 0;
        uint64_t skipped = 0;
    };
    std::optional<CastCounts> lastCastCounts() const { return m_lastCastCounts; }

private:
    struct Stream;

    // The steps of startRecording: the take's configuration, the stream, the microphone, and
    // the one rollback of whatever a failure leaves started.
    std::shared_ptr<TakeWriter> setUpWriter(const QString &outputURL, const StreamConfiguration &configuration,
                                            const std::optional<AudioEncodingPlan> &plan);
    std::unique_ptr<Stream> makeStream(uint32_t displayID, const ContentFilter &filter,
                                       const StreamConfiguration &configuration, std::unique_ptr<Stream> opened);
    void makeX11Frames(Stream &stream, uint32_t displayID, const ContentFilter &filter,
                       const StreamConfiguration &configuration);
    void goLive(const std::shared_ptr<TakeWriter> &writer, std::unique_ptr<Stream> stream,
                const StreamConfiguration &configuration, std::optional<uint32_t> displayID);
    void connectMicrophone(const std::shared_ptr<TakeWriter> &writer);
    QCoro::Task<void> abandonStart(std::unique_ptr<Stream> stream, QString outputURL);

    void reportStreamError(const QString &message, int code = 0);
    QCoro::Task<void> openScreenCast(Stream &stream, const ContentFilter &filter, StreamConfiguration &configuration);
    void installWriter(std::shared_ptr<TakeWriter> writer);
    std::shared_ptr<TakeWriter> currentWriter() const;

    CaptureRoad m_road = CaptureRoad::X11;
    std::shared_ptr<SampleQueue> m_sampleQueue;
    CursorAutoHide *m_cursor = nullptr;

    QByteArray m_nextJournalNote; // main thread
    // The share asked for ahead of a take, and the ask under way (main thread).
    std::unique_ptr<Stream> m_askedStream;
    StreamConfiguration m_askedConfiguration;
    std::shared_ptr<pipewire::ScreenCastPortal> m_asking;
    bool m_askCancelled = false;
    int m_screenAnswerTimeoutMs = 60000;
    mutable std::mutex m_stateMutex; // guards the stream, its configuration, the display id and the microphone
    std::unique_ptr<Stream> m_stream;
    std::shared_ptr<AudioRecorder> m_audio;
    std::optional<StreamConfiguration> m_streamConfig;
    std::optional<uint32_t> m_capturedDisplayID;
    std::optional<QString> m_micDeviceID;

    mutable std::mutex m_writerLock; // guards only the reference below
    std::shared_ptr<TakeWriter> m_writer;

    std::shared_ptr<std::atomic<uint64_t>> m_framesAppended;
    std::optional<av::EncoderError> m_lastTakeFailure;
    std::optional<CastCounts> m_lastCastCounts;
};

} // namespace lumacast
