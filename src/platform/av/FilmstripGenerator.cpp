#include "platform/av/FilmstripGenerator.h"

#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/MediaError.h"
#include "threads/ThreadBridge.h"

#include <pthread.h>

#include <memory>

namespace lumacast::av {

FilmstripGenerator::FilmstripGenerator(QString path, double durationSeconds, int count, QSize maxSize,
                                       QObject *context, std::function<void(QList<QImage>, bool)> done)
    : m_path(std::move(path)), m_duration(durationSeconds), m_count(count), m_maxSize(maxSize),
      m_context(context), m_done(std::move(done))
{
    m_thread = std::thread([this] { run(); });
}

FilmstripGenerator::~FilmstripGenerator()
{
    m_cancelled = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FilmstripGenerator::run()
{
    pthread_setname_np(pthread_self(), "lumacast-strip");
    QList<QImage> images;
    try {
        ImageGenerator generator(Asset::open(m_path));
        generator.appliesPreferredTrackTransform = true;
        // The picture shown at each time however long ago it started: a still screen is held
        // in one sample for up to a second, and the picture after it is not what the take shows.
        generator.requestedTimeToleranceBefore = MediaTime::positiveInfinity();
        generator.requestedTimeToleranceAfter = MediaTime(300, 600);
        for (int i = 0; i < m_count; ++i) {
            if (m_cancelled)
                break;
            try {
                const double at = (i + 0.5) * m_duration / m_count;
                QImage image = generator.imageAt(MediaTime::fromSeconds(at, 600)).image;
                if (image.width() > m_maxSize.width() || image.height() > m_maxSize.height())
                    image = image.scaled(m_maxSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
                images.append(image);
            } catch (const MediaError &) {
                // This picture is left out; the strip shares its width among the others.
            }
        }
    } catch (const MediaError &) {
        images.clear();
    }
    // A cancelled run hands over what it gathered. The callback is copied into the event: the
    // run may be destroyed before it is delivered. Whether the context is still there is asked
    // on the main thread, where it is destroyed.
    const bool complete = !m_cancelled;
    postToMainThread(m_context, [done = m_done, images, complete] { done(images, complete); });
}

} // namespace lumacast::av
