// A native Wayland client for the screen-cast tests: a full-screen window that shows a counter
// as twelve black or white squares (bit 11 on the left), one step every `--step-ms`, on a grey
// ground. When the counter reaches `--beep-at` it plays a 1 kHz tone into the PulseAudio sink
// `--beep-sink` through pacat, so a take can be checked for picture against sound. Prints
// "ready" once its first picture is on screen and "beep <n>" when the tone starts. With --x11 it
// is an X11 client instead (of XWayland, through DISPLAY).
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <cstdio>
#include <vector>

namespace {

class CounterWindow : public QRasterWindow {
public:
    int counter = 0;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(QRect(QPoint(0, 0), size()), QColor(64, 64, 64));
        for (int bit = 0; bit < 12; ++bit) {
            const bool set = (counter >> (11 - bit)) & 1;
            p.fillRect(100 + bit * 140, 200, 120, 120, set ? Qt::white : Qt::black);
        }
    }
};

QByteArray tone(double seconds)
{
    const int rate = 48000;
    std::vector<int16_t> samples(size_t(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(12000 * std::sin(2 * M_PI * 1000 * double(i) / rate));
    return QByteArray(reinterpret_cast<const char *>(samples.data()), qsizetype(samples.size() * 2));
}

} // namespace

int main(int argc, char **argv)
{
    const bool x11 = std::find(argv + 1, argv + argc, std::string_view("--x11")) != argv + argc;
    qputenv("QT_QPA_PLATFORM", x11 ? "xcb" : "wayland");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("step-ms"), QStringLiteral("ms per count"), QStringLiteral("ms"), QStringLiteral("50")});
    parser.addOption({QStringLiteral("beep-at"), QStringLiteral("count"), QStringLiteral("n"), QStringLiteral("-1")});
    parser.addOption({QStringLiteral("x11"), QStringLiteral("an X11 client")});
    parser.addOption({QStringLiteral("beep-sink"), QStringLiteral("sink"), QStringLiteral("name"), QStringLiteral("micfeed")});
    parser.process(app);
    const int beepAt = parser.value(QStringLiteral("beep-at")).toInt();

    // pacat runs from the start, so that the tone starts without the connection's delay.
    QProcess pacat;
    if (beepAt >= 0) {
        pacat.start(QStringLiteral("pacat"), {QStringLiteral("--playback"), QStringLiteral("--device=") + parser.value(QStringLiteral("beep-sink")),
                                              QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                                              QStringLiteral("--channels=1"), QStringLiteral("--raw"),
                                              QStringLiteral("--latency-msec=20")});
        pacat.waitForStarted();
    }

    CounterWindow window;
    window.showFullScreen();
    // A count's time is its number of steps after the first: the tests read the take's timing by it.
    QTimer step;
    step.setTimerType(Qt::PreciseTimer);
    QObject::connect(&step, &QTimer::timeout, &window, [&] {
        ++window.counter;
        window.update();
        if (window.counter == beepAt) {
            pacat.write(tone(0.4));
            std::printf("beep %d\n", beepAt);
            std::fflush(stdout);
        }
    });
    QTimer::singleShot(500, &window, [&] {
        std::printf("ready\n");
        std::fflush(stdout);
        step.start(parser.value(QStringLiteral("step-ms")).toInt());
    });
    return app.exec();
}
