#include "capture/CameraCapture.h"

#include "model/LogCategories.h"
#include "platform/av/MediaError.h"
#include "platform/av/VideoFrameConverter.h"

#include <QCamera>
#include <QCameraDevice>
#include <QMediaDevices>
#include <QVideoFrame>
#include <QVideoSink>

namespace lumacast {

CameraCapture::CameraCapture(QObject *parent)
    : QObject(parent), m_previewSink(new QVideoSink(this)),
      m_previewConverter(std::make_unique<av::VideoFrameConverter>())
{
    m_session.setVideoSink(m_previewSink);
}

CameraCapture::~CameraCapture()
{
    if (m_camera)
        m_camera->stop();
    m_session.setCamera(nullptr);
}

void CameraCapture::start(const QString &id)
{
    const QByteArray wanted = id.toUtf8();
    std::optional<QCameraDevice> device;
    for (const QCameraDevice &candidate : QMediaDevices::videoInputs()) {
        if (candidate.id() == wanted) {
            device = candidate;
            break;
        }
    }
    std::unique_ptr<QCamera> camera;
    if (device) {
        camera = std::make_unique<QCamera>(*device);
        if (camera->error() != QCamera::NoError)
            camera.reset();
    }
    if (!camera) {
        qCCritical(lumacast::log::recorder(), "camera %s unavailable", qUtf8Printable(id));
        return;
    }
    // The preview sink stays with the session; only the camera behind it changes.
    m_session.setCamera(camera.get());
    if (m_camera)
        m_camera->stop();
    m_camera = std::move(camera);
    m_deviceID = id;
    m_previewFailureLogged = false;
    m_camera->start();
}

QImage CameraCapture::previewImage(const QVideoFrame &frame)
{
    try {
        return m_previewConverter->toImage(frame);
    } catch (const av::MediaError &error) {
        if (!m_previewFailureLogged)
            qCWarning(lumacast::log::recorder(), "camera preview: %s", qUtf8Printable(describeErrorChain(error)));
        m_previewFailureLogged = true;
        return QImage();
    }
}

void CameraCapture::stop()
{
    if (m_camera)
        m_camera->stop();
    m_deviceID.reset();
}

bool CameraCapture::isRunning() const { return m_camera && m_camera->isActive(); }

void CameraCapture::chooseMediaBackend()
{
    // The GStreamer backend (Qt 6.4's default) also finds cameras through PipeWire, where the
    // desktop's screen cast of a take is a video source like any other: it is listed as a camera
    // while the take runs, and its removal at the take's end trips GLib criticals. The FFmpeg
    // backend lists the V4L2 devices alone, and ships beside it in the same package.
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
}

QList<CameraOption> CameraCapture::availableCameras()
{
    QList<CameraOption> options;
    for (const QCameraDevice &device : QMediaDevices::videoInputs())
        options.append(CameraOption{QString::fromUtf8(device.id()), device.description()});
    return options;
}

std::optional<QString> CameraCapture::resolveSelectedID(const std::optional<QString> &id,
                                                        const QList<CameraOption> &options)
{
    if (id)
        for (const auto &option : options)
            if (option.id == *id)
                return id;
    if (options.isEmpty())
        return std::nullopt;
    return options.first().id;
}

CameraDevices::CameraDevices(QObject *parent) : QObject(parent)
{
    auto *devices = new QMediaDevices(this);
    connect(devices, &QMediaDevices::videoInputsChanged, this, &CameraDevices::camerasChanged);
}

} // namespace lumacast
