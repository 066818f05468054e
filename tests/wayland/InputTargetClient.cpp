// A native Wayland window for the input tests: it tells on stdout what reaches it, "press X Y"
// for a mouse button (window coordinates) and "text T" for each key that types something, and
// prints "ready" once it is on screen. Its app id is "lumacast-input-target", which the
// compositor's tree shows.
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QTimer>

#include <cstdio>

namespace {

class TargetWindow : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(QRect(QPoint(0, 0), size()), QColor(40, 90, 40));
    }
    void mousePressEvent(QMouseEvent *event) override
    {
        const QPoint at = event->position().toPoint();
        std::printf("press %d %d\n", at.x(), at.y());
        std::fflush(stdout);
    }
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->text().isEmpty())
            return;
        std::printf("text %s\n", qPrintable(event->text()));
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication::setDesktopFileName(QStringLiteral("lumacast-input-target"));
    QGuiApplication app(argc, argv);
    TargetWindow window;
    window.setTitle(QStringLiteral("input target"));
    window.show();
    QTimer::singleShot(300, &window, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return app.exec();
}
