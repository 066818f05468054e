// The camera side works without any camera attached, as on the build machines.
#include "capture/CameraCapture.h"

#include <QCameraDevice>
#include <QMediaDevices>
#include <QVideoSink>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {
QStringList *recorderLines = nullptr;
void captureRecorder(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (recorderLines && context.category && QByteArray(context.category) == "app.lumacast.Lumacast.recorder")
        recorderLines->append(QStringLiteral("%1 %2").arg(type == QtCriticalMsg ? "error" : "other", message));
}
} // namespace

TEST(CameraCapture, SelectionFallsBackToTheFirstListedCamera)
{
    const QList<CameraOption> options{{"usb-1", "USB Camera"}, {"builtin", "Built-in"}};
    EXPECT_EQ(CameraCapture::resolveSelectedID(QStringLiteral("builtin"), options), QStringLiteral("builtin"));
    EXPECT_EQ(CameraCapture::resolveSelectedID(QStringLiteral("gone"), options), QStringLiteral("usb-1"));
    EXPECT_EQ(CameraCapture::resolveSelectedID(std::nullopt, options), QStringLiteral("usb-1"));
    EXPECT_EQ(CameraCapture::resolveSelectedID(QStringLiteral("usb-1"), {}), std::nullopt);
    EXPECT_EQ(CameraCapture::resolveSelectedID(std::nullopt, {}), std::nullopt);
}

TEST(CameraCapture, ListMatchesTheConnectedDevices)
{
    const auto cameras = CameraCapture::availableCameras();
    const auto devices = QMediaDevices::videoInputs();
    ASSERT_EQ(cameras.size(), devices.size());
    for (qsizetype i = 0; i < cameras.size(); ++i) {
        EXPECT_EQ(cameras[i].id, QString::fromUtf8(devices[i].id()));
        EXPECT_EQ(cameras[i].name, devices[i].description());
    }
    CameraDevices follower; // following connections needs no camera either
}

TEST(CameraCapture, UnknownCameraIsLoggedAndChangesNothing)
{
    QStringList lines;
    recorderLines = &lines;
    const auto previous = qInstallMessageHandler(captureRecorder);

    CameraCapture camera;
    ASSERT_NE(camera.previewSink(), nullptr);
    EXPECT_EQ(camera.session()->videoSink(), camera.previewSink());
    camera.start(QStringLiteral("no-such-camera"));
    EXPECT_FALSE(camera.deviceID().has_value());
    EXPECT_FALSE(camera.isRunning());
    EXPECT_EQ(camera.session()->camera(), nullptr);
    camera.stop();
    camera.stop();
    EXPECT_FALSE(camera.deviceID().has_value());

    qInstallMessageHandler(previous);
    recorderLines = nullptr;
    EXPECT_EQ(lines, QStringList{"error camera no-such-camera unavailable"});
}
