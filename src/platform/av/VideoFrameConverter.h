#pragma once

#include <QImage>

#include <memory>

class QVideoFrame;

namespace lumacast::av {

namespace detail {
class PictureConverter;
}

// Turns the camera's frames (Qt Multimedia's QVideoFrame) into images for the webcam preview.
// Frames in a YUV layout are converted here rather than by QVideoFrame::toImage, whose
// conversion (Qt 6.4) writes past the end of its image for 4:2:2 planar frames of any size and
// for packed 4:2:2 frames of an odd width: their planes are copied into a frame FFmpeg lays out
// and pads, which `detail::PictureConverter` converts into a padded image. Frames in an RGB
// layout, JPEG and the rest are left to Qt, which copies or decodes those.
//
// Keeps its converter between frames of one size and format; used by one thread at a time (the
// main thread, where the camera's frames arrive).
class VideoFrameConverter {
public:
    VideoFrameConverter();
    ~VideoFrameConverter();
    VideoFrameConverter(const VideoFrameConverter &) = delete;
    VideoFrameConverter &operator=(const VideoFrameConverter &) = delete;

    // The frame as an image (QImage::Format_RGB32 for the frames converted here); null for a
    // frame without pixels. Throws MediaError(UnsupportedFormat) for a frame whose planes cannot
    // be mapped or are shorter than its size needs, and as `PictureConverter::toImage` does.
    QImage toImage(const QVideoFrame &frame);

private:
    std::unique_ptr<detail::PictureConverter> m_converter;
};

} // namespace lumacast::av
