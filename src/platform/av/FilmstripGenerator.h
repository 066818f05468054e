#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

namespace lumacast::av {

// Small pictures spread evenly over a movie, made on a thread of its own ("lumacast-strip"):
// picture i of n is the one shown at (i + 0.5) x duration / n, however long before it started
// (a still stretch of a take is one sample), or else within half a second after it, turned
// by the track's transform and scaled to fit `maxSize`. A picture that cannot be made is left
// out. One object is one run; destroying it cancels the run and joins the thread.
//
// Made and destroyed on the main thread. `done` runs there, posted to the main loop, with the
// pictures gathered in order and whether the run went through every picture (false: it was
// cancelled, and the list holds those made before); it does not run when `context` is gone. A
// movie that cannot be opened gives an empty, complete list.
class FilmstripGenerator {
public:
    FilmstripGenerator(QString path, double durationSeconds, int count, QSize maxSize, QObject *context,
                       std::function<void(QList<QImage>, bool complete)> done);
    ~FilmstripGenerator();
    FilmstripGenerator(const FilmstripGenerator &) = delete;
    FilmstripGenerator &operator=(const FilmstripGenerator &) = delete;

    const QString &path() const { return m_path; }

private:
    void run();

    QString m_path;
    double m_duration;
    int m_count;
    QSize m_maxSize;
    QPointer<QObject> m_context;
    std::function<void(QList<QImage>, bool)> m_done;
    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};

} // namespace lumacast::av
