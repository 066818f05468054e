#pragma once

#include "platform/av/Asset.h"
#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"
#include "platform/av/TakeEncoderSettings.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace lumacast::av {

// One stretch of source video drawn onto the canvas: `sourceRange` of the source track's
// presentation timeline shown over `target` of the output timeline. `transform` maps the
// source's stored pixels onto the canvas (turn, scale and offset); turns are whole quarter
// turns. A stretch without an asset is drawn black.
struct CanvasVideoSegment {
    std::shared_ptr<const Asset> asset;
    int sourceTrack = -1;
    MediaTimeRange sourceRange;
    MediaTimeRange target;
    AffineTransform transform;
};

struct CanvasVideoRequest {
    QList<CanvasVideoSegment> segments;
    int width = 0;  // the canvas in pixels; the movie's frame size
    int height = 0;
    VideoSettings settings; // the encoder's parameters (the take writer's for the canvas size)
    MediaTime totalDuration; // the length of the written track
    QString outputPath;      // a QuickTime movie with one H.264 track; an existing file is replaced
    // Called on the encoding thread with the presentation time, in seconds, of each frame
    // handed to the encoder.
    std::function<void(double seconds)> progress;
    // Checked between frames; when set the render stops with MediaError(Cancelled).
    const std::atomic<bool> *cancelled = nullptr;
    // Called on the encoding thread before each frame is handed to the encoder, with the number
    // of frames written so far; a throw from it is a failure of the writer.
    std::function<void(qint64 framesWritten)> beforeAppend;
};

// Decodes every stretch, scales it onto the canvas with libswscale (centred over black, turned
// as its transform says) and encodes it with libx264 as the take writer does, through the same
// QuickTime muxer, so that a movie rendered at a take's size has the take's sample description.
// Decoding and scaling run on a thread of their own ahead of the encoder, at most a few frames
// ahead (the encoder paces them). Either side's failure ends both and is thrown here; the
// partly written file is removed. Throws MediaError.
//
// Two steps, so that a caller can tell a writer that could not be created (the encoder refused
// the settings, the file could not be made) from a failure while pumping.
class CanvasVideoRender {
public:
    // Throws MediaError(InvalidArgument) for a canvas without a size.
    explicit CanvasVideoRender(CanvasVideoRequest request);
    ~CanvasVideoRender();
    CanvasVideoRender(const CanvasVideoRender &) = delete;
    CanvasVideoRender &operator=(const CanvasVideoRender &) = delete;

    // Opens the encoder and creates the movie file. Throws MediaError.
    void createWriter();
    // Renders and encodes every stretch (creating the writer first if needed) and finishes the
    // movie. Throws MediaError; the partly written file is removed.
    void run();

private:
    struct Writer;
    CanvasVideoRequest m_request;
    std::unique_ptr<Writer> m_writer;
};

} // namespace lumacast::av
