// The camera side works without any camera attached, as on the build machines.
#include "capture/CameraCapture.h"
#include "model/LogCategories.h"
#include "support/LogCapture.h"

#include <QCameraDevice>
#include <QMediaDevices>
#include <QVideoSink>

#include <gtest/gtest.h>

using namespace lumacast;

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
    lumacast::testing::LogCapture recorderLog(lumacast::log::recorder().categoryName());

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

    EXPECT_EQ(recorderLog.levelledTexts(), QStringList{"error camera no-such-camera unavailable"});
}
