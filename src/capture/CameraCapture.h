#pragma once

#include <QHashFunctions>
#include <QImage>
#include <QList>
#include <QMediaCaptureSession>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QCamera;
class QVideoFrame;
class QVideoSink;

namespace lumacast::av {
class VideoFrameConverter;
}

namespace lumacast {

// A selectable camera.
struct CameraOption {
    QString id;   // the device's unique id
    QString name; // its description

    bool operator==(const CameraOption &) const = default;
};

inline size_t qHash(const CameraOption &option, size_t seed = 0) { return qHashMulti(seed, option.id, option.name); }

// Runs the webcam for the webcam overlay. The camera is never recorded on its own: the overlay
// window shows the preview and the screen recording picks it up with the rest of the screen.
// Lives on the main thread.
class CameraCapture : public QObject {
    Q_OBJECT
public:
    // How the overlay fits the preview into its window: filled, cropped where the shapes differ.
    static constexpr Qt::AspectRatioMode kPreviewAspectRatioMode = Qt::KeepAspectRatioByExpanding;

    explicit CameraCapture(QObject *parent = nullptr);
    ~CameraCapture() override;

    // Switches to the camera with that id and runs it. Never fails: a camera that is missing or
    // cannot be opened is logged and changes nothing, so a running camera keeps running.
    void start(const QString &id);
    // Stops the camera and forgets its id.
    void stop();

    // The camera last started successfully.
    std::optional<QString> deviceID() const { return m_deviceID; }
    bool isRunning() const;
    // The preview the overlay shows.
    QVideoSink *previewSink() const { return m_previewSink; }
    // A frame of the preview as the overlay draws it, converted into a padded image
    // (`av::VideoFrameConverter`); null for a frame that cannot be shown, which is logged once
    // a camera.
    QImage previewImage(const QVideoFrame &frame);
    QMediaCaptureSession *session() { return &m_session; }

    // Qt's FFmpeg media backend for the cameras unless the user chose one (QT_MEDIA_BACKEND).
    // Before anything else uses Qt Multimedia: the backend is picked at its first use.
    static void chooseMediaBackend();
    static QList<CameraOption> availableCameras();
    // The id when a listed camera has it, else the first listed camera, else nothing.
    static std::optional<QString> resolveSelectedID(const std::optional<QString> &id, const QList<CameraOption> &options);

private:
    QMediaCaptureSession m_session;
    QVideoSink *m_previewSink = nullptr;
    std::unique_ptr<QCamera> m_camera;
    std::optional<QString> m_deviceID;
    std::unique_ptr<av::VideoFrameConverter> m_previewConverter;
    bool m_previewFailureLogged = false;
};

// Follows cameras being connected and disconnected; `camerasChanged` comes on the main thread.
class CameraDevices : public QObject {
    Q_OBJECT
public:
    explicit CameraDevices(QObject *parent = nullptr);

signals:
    void camerasChanged();
};

} // namespace lumacast
