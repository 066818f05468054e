// record: a real take through the screen recorder: the X display or one window, the microphone
// and optionally the system audio, with pauses at given times. In a Wayland session it records
// through the desktop's screen sharing, as the application does: --window then asks the desktop
// for a window (its chooser picks which, so the ID is not read) instead of a screen.
#include "Commands.h"

#include "capture/CaptureTarget.h"
#include "capture/ScreenRecorder.h"
#include "platform/x11/X11Content.h"
#include "threads/ThreadBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>

#include <sys/resource.h>

#include <optional>
#include <vector>

using namespace lumacast;
using namespace lumacast_media;

namespace {

struct Options {
    QString output;
    double seconds = 0;
    double countdown = 0;
    int fps = 60;
    std::optional<uint32_t> display;
    std::optional<uint32_t> window;
    bool systemAudio = false;
    std::optional<QString> mic;
    std::vector<std::pair<double, double>> pauses;
    std::optional<double> hideCursorAfter; // seconds the mouse rests before the pointer leaves the take
};

std::optional<uint32_t> parseId(const QString &text)
{
    bool ok = false;
    const uint32_t v = text.startsWith(QLatin1String("0x")) ? text.mid(2).toUInt(&ok, 16) : text.toUInt(&ok, 10);
    return ok ? std::optional<uint32_t>(v) : std::nullopt;
}

std::optional<Options> parse(const QStringList &args, QString &error)
{
    Options o;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size()) {
                error = a + QStringLiteral(" needs a value");
                return {};
            }
            return args[++i];
        };
        if (a == QLatin1String("--seconds")) {
            o.seconds = value().toDouble();
        } else if (a == QLatin1String("--countdown")) {
            o.countdown = value().toDouble();
        } else if (a == QLatin1String("--fps")) {
            o.fps = value().toInt();
        } else if (a == QLatin1String("--display")) {
            o.display = parseId(value());
            if (!o.display)
                error = QStringLiteral("--display needs a display id");
        } else if (a == QLatin1String("--window")) {
            o.window = parseId(value());
            if (!o.window)
                error = QStringLiteral("--window needs a window id");
        } else if (a == QLatin1String("--hide-cursor-after")) {
            o.hideCursorAfter = value().toDouble();
            if (!(*o.hideCursorAfter > 0))
                error = QStringLiteral("--hide-cursor-after needs seconds > 0");
        } else if (a == QLatin1String("--system-audio")) {
            o.systemAudio = true;
        } else if (a == QLatin1String("--mic")) {
            o.mic = value();
        } else if (a == QLatin1String("--pause")) {
            const auto m = QRegularExpression(QStringLiteral("^([0-9.]+)-([0-9.]+)$")).match(value());
            if (!m.hasMatch() || m.captured(2).toDouble() <= m.captured(1).toDouble())
                error = QStringLiteral("--pause needs A-B with A < B (seconds)");
            else
                o.pauses.emplace_back(m.captured(1).toDouble(), m.captured(2).toDouble());
        } else if (a.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option ") + a;
        } else if (o.output.isEmpty()) {
            o.output = a;
        } else {
            error = QStringLiteral("unexpected argument ") + a;
        }
        if (!error.isEmpty())
            return std::nullopt;
    }
    if (o.output.isEmpty() || !(o.seconds > 0)) {
        error = QStringLiteral("record needs OUT.mov and --seconds S > 0");
        return std::nullopt;
    }
    if (o.fps < 1 || o.fps > 60) {
        error = QStringLiteral("--fps must be 1 to 60");
        return std::nullopt;
    }
    return o;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

QCoro::Task<int> record(Options o)
{
    ScreenRecorder recorder(o.hideCursorAfter.has_value(), o.hideCursorAfter.value_or(2.0));
    // SIGTERM and SIGINT end the take early through the normal stop, so that it is finished.
    int interruptedBy = 0;
    const InterruptWatch interrupts([&interruptedBy](int signal) { interruptedBy = signal; });
    QString streamError;
    recorder.onStreamError = [&](const StreamError &e) {
        postToMainThread([&streamError, text = e.message()] { streamError = text; });
    };
    try {
        recorder.prepareMicrophone(o.mic);
    } catch (const std::exception &e) {
        err(QStringLiteral("microphone not prepared: %1").arg(QString::fromUtf8(e.what())));
    }

    if (o.countdown > 0) {
        // As the application's countdown does, this gives the prepared microphone time to wake.
        QTimer countdown;
        countdown.setTimerType(Qt::PreciseTimer);
        countdown.setSingleShot(true);
        countdown.start(int(o.countdown * 1000));
        co_await countdown;
    }

    CaptureTarget target;
    if (o.window && recorder.captureRoad() == CaptureRoad::ScreenCastPortal) {
        auto filter = ContentFilter::forWindow(*o.window, QRectF());
        target = CaptureTarget::custom(filter, filter->style);
    } else if (o.window) {
        const auto frame = x11::windowFrame(*o.window);
        if (!frame) {
            err(QStringLiteral("window 0x%1 is not on screen").arg(*o.window, 0, 16));
            co_await recorder.stopRecording();
            co_return 1;
        }
        auto filter = ContentFilter::forWindow(*o.window, QRectF(*frame));
        target = CaptureTarget::custom(filter, filter->style);
    }
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    QString startError;
    try {
        // Tasks are named before they are awaited: GCC 12 destroys argument temporaries of a
        // co_await expression twice.
        auto making = recorder.makeFilterAndConfiguration(std::nullopt, o.display, std::nullopt, o.systemAudio, target);
        auto made = co_await making;
        made.configuration.minimumFrameIntervalTimescale = o.fps;
        auto starting = recorder.startRecording(o.output, made.displayID, made.filter, made.configuration);
        co_await starting;
    } catch (const std::exception &e) {
        startError = QString::fromUtf8(e.what());
    }
    if (!startError.isEmpty()) {
        err(QStringLiteral("record failed: %1").arg(startError));
        co_await recorder.stopRecording(); // releases the prepared microphone
        co_return 1;
    }
    wall.start();
    // Qt's default timers of two seconds and more may fire up to a twentieth early: a 6.5 s take
    // would end at 6.2 s, and the tests read the take's length and its pauses against these.
    for (const auto &[from, to] : o.pauses) {
        QTimer::singleShot(int(from * 1000), Qt::PreciseTimer, &recorder, [&recorder] { recorder.pause(); });
        QTimer::singleShot(int(to * 1000), Qt::PreciseTimer, &recorder, [&recorder] { recorder.resume(); });
    }
    QTimer done;
    done.setTimerType(Qt::PreciseTimer);
    done.setSingleShot(true);
    done.start(int(o.seconds * 1000));
    while (done.isActive() && streamError.isEmpty() && !interruptedBy) {
        QTimer tick;
        tick.setSingleShot(true);
        tick.start(20);
        co_await tick;
    }
    const double elapsed = wall.elapsed() / 1000.0;
    const auto result = co_await recorder.stopRecording();
    const double cpu = cpuSeconds() - cpuBefore;
    if (interruptedBy)
        err(QStringLiteral("interrupted by signal %1: the take was finished").arg(interruptedBy));
    if (!streamError.isEmpty()) {
        err(QStringLiteral("stream error: %1").arg(streamError));
        co_return 1;
    }
    if (!result) {
        const std::optional<av::EncoderError> why = recorder.lastTakeFailure();
        err(QStringLiteral("no usable take was produced")
            + (why ? QStringLiteral(": ") + describeErrorChain(*why) : QString()));
        co_return 1;
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    QJsonObject report{{QStringLiteral("file"), result->path},
                       {QStringLiteral("road"), QString::fromLatin1(captureRoadName(recorder.captureRoad()))},
                       {QStringLiteral("duration"), result->duration},
                       {QStringLiteral("recordedSeconds"), elapsed},
                       {QStringLiteral("framesAppended"), double(recorder.framesAppended())},
                       {QStringLiteral("cpuSeconds"), cpu},
                       {QStringLiteral("peakRssKiB"), double(u.ru_maxrss)}};
    if (const auto cast = recorder.lastCastCounts()) {
        report.insert(QStringLiteral("picturesReceived"), double(cast->received));
        report.insert(QStringLiteral("picturesSkipped"), double(cast->skipped));
    }
    out(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)));
    co_return 0;
}

CommandRegistration reg{
    QStringLiteral("record"),
    QStringLiteral("record OUT.mov --seconds S [--countdown S] [--fps N] [--display ID] [--window ID] [--system-audio] [--mic NAME] "
                   "[--pause A-B ...] [--hide-cursor-after S]"),
    [](const QStringList &args) {
        QString error;
        const auto options = parse(args, error);
        if (!options) {
            err(error);
            return 2;
        }
        return QCoro::waitFor(record(*options));
    }};

} // namespace
