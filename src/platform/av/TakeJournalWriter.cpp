#include "platform/av/TakeJournalWriter.h"

#include "platform/av/MediaError.h"
#include "store/AppLog.h"
#include "store/HeldFile.h"
#include "store/PackageFolder.h"
#include "threads/ThreadBridge.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avio.h>
}

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lumacast::av {

namespace {

// Movie and journal reach the disk this often while a take is written, so that with the muxer's
// own lag a crash loses at most about a second; each sync costs the encoder a little (its writes
// wait for pages under writeback), so not much more often.
constexpr auto kSyncInterval = std::chrono::milliseconds(700);

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n, size -= n;
    }
    return true;
}

} // namespace

// What the journal needs of a packet handed to the muxer, kept until the muxer lets go of it,
// which it does right after writing it.
struct TakeJournalWriter::WrittenPacket {
    TakeJournalWriter *writer = nullptr;
    int track = 0;
    int64_t dts = 0;
    int64_t pts = 0;
    int64_t duration = 0;
    bool keyframe = false;
    AVBufferRef *original = nullptr; // the encoder's buffer, which the packet's data lies in
};

TakeJournalWriter::~TakeJournalWriter()
{
    close(false);
}

void TakeJournalWriter::configure(const QString &journalPath, const QByteArray &note, bool outlivesFinish)
{
    m_journalPath = journalPath;
    m_note = note;
    m_outlivesFinish = outlivesFinish;
}

void TakeJournalWriter::open(AVIOContext *movie, int movieFd, const QList<TakeJournal::Track> &tracks)
{
    m_movie = movie;
    m_writtenEnd = avio_tell(movie);
    avio_flush(movie);
    // The muxer has written 'ftyp', 'wide' and the 'mdat' header: the samples start here.
    const QByteArray header = TakeJournal::header(m_writtenEnd - 16, m_note, tracks);
    // Beside the movie where it is now (its folder may have been renamed since the take began),
    // and only a journal of its own: a file already standing under that name is left alone.
    const QString movieNow = HeldFile::whereNowOf(movieFd);
    if (!movieNow.isEmpty())
        m_journalPath = QFileInfo(movieNow).absolutePath() + QLatin1Char('/') + QFileInfo(m_journalPath).fileName();
    errno = ENOENT;
    if (!movieNow.isEmpty())
        m_journalFd = ::open(QFile::encodeName(m_journalPath).constData(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    m_movieSyncFd = ::fcntl(movieFd, F_DUPFD_CLOEXEC, 0);
    if (m_journalFd < 0 || m_movieSyncFd < 0 || !writeAll(m_journalFd, header.constData(), header.size())
        || ::fdatasync(m_journalFd) != 0) {
        AppLog::shared().log(QStringLiteral("[writer] no journal for this take: ")
                             + writeFailureReason(m_journalPath, errno));
        if (m_journalFd >= 0)
            HeldFile::removeNameOf(m_journalFd);
        close(false);
        return;
    }
    PackageFolder::applyFileMode(m_journalFd, QFileInfo(m_journalPath).absolutePath());
    m_lastSync = std::chrono::steady_clock::now();
    m_journaling = true;
    m_syncThread = std::thread([this] {
        nameCurrentThread("take sync");
        runSync();
    });
}

void TakeJournalWriter::wrap(AVPacket *p)
{
    if (!m_journaling)
        return;
    // The muxer lets go of a packet's buffer right after writing it: a buffer of our own around
    // the encoder's tells us when, and the file position then is where the sample ends.
    auto *written = new WrittenPacket{this, p->stream_index, p->dts, p->pts, p->duration,
                                      (p->flags & AV_PKT_FLAG_KEY) != 0, p->buf};
    AVBufferRef *wrapper = av_buffer_create(p->data, size_t(p->size), &TakeJournalWriter::packetWritten, written, 0);
    if (!wrapper) {
        delete written; // the sample goes unjournaled; a recovery closes the gap in its track
        return;
    }
    p->buf = wrapper;
}

void TakeJournalWriter::packetWritten(void *opaque, uint8_t *)
{
    auto *written = static_cast<WrittenPacket *>(opaque);
    written->writer->recordWritten(*written);
    av_buffer_unref(&written->original);
    delete written;
}

void TakeJournalWriter::recordWritten(const WrittenPacket &packet)
{
    // A packet dropped unwritten (a failed write, a muxer torn down) leaves the position as it was.
    if (!m_journaling || !m_movie || m_movie->error < 0)
        return;
    const int64_t end = avio_tell(m_movie);
    if (end <= m_writtenEnd)
        return;
    TakeJournal::Sample sample;
    sample.track = packet.track;
    sample.keyframe = packet.keyframe;
    sample.offset = m_writtenEnd;
    sample.size = uint32_t(end - m_writtenEnd);
    sample.decodeTime = packet.dts;
    sample.compositionOffset = int32_t(packet.pts - packet.dts);
    sample.duration = uint32_t(std::max<int64_t>(packet.duration, 0));
    TakeJournal::appendSampleRecord(m_pending, sample);
    m_writtenEnd = end;
    sync(false);
}

void TakeJournalWriter::sync(bool force)
{
    if (!m_journaling || !m_movie)
        return;
    const auto now = std::chrono::steady_clock::now();
    // Without a record pending no sample was written since the last sync (a pause): nothing to do.
    if (!force && (m_pending.isEmpty() || now - m_lastSync < kSyncInterval))
        return;
    m_lastSync = now;
    // The samples reach the movie's file before their records are handed over: a record never
    // reaches the disk before the bytes it names.
    avio_flush(m_movie);
    {
        std::lock_guard lock(m_syncMutex);
        m_syncRecords.append(m_pending);
        m_syncRequested = true;
    }
    m_pending.clear();
    m_syncCondition.notify_one();
}

void TakeJournalWriter::runSync()
{
    for (;;) {
        QByteArray records;
        bool stopping = false;
        {
            std::unique_lock lock(m_syncMutex);
            m_syncCondition.wait(lock, [this] { return m_syncRequested || m_syncStopping; });
            records.swap(m_syncRecords);
            stopping = m_syncStopping && !m_syncRequested;
            m_syncRequested = false;
        }
        if (stopping)
            return;
        if (m_broken || ::fdatasync(m_movieSyncFd) != 0 || records.isEmpty())
            continue;
        if (!writeAll(m_journalFd, records.constData(), records.size()) || ::fdatasync(m_journalFd) != 0) {
            // A full disk: what the journal holds stays readable (a cut-off record is ignored),
            // and nothing is appended behind a record that may be incomplete.
            AppLog::shared().log(QStringLiteral("[writer] the take's journal stopped: ")
                                 + writeFailureReason(m_journalPath, errno));
            m_broken = true;
        }
    }
}

// Waits until everything handed over is on the disk.
void TakeJournalWriter::stopSync()
{
    if (!m_syncThread.joinable())
        return;
    {
        std::lock_guard lock(m_syncMutex);
        m_syncStopping = true;
    }
    m_syncCondition.notify_one();
    m_syncThread.join();
}

void TakeJournalWriter::close(bool finished)
{
    stopSync();
    m_journaling = false;
    m_movie = nullptr;
    if (finished && m_movieSyncFd >= 0) {
        // The journal goes only once the finished movie is on the disk.
        if (::fdatasync(m_movieSyncFd) != 0)
            finished = false;
    }
    // Removed where it is now: its folder may have been renamed or moved since it was made.
    if (finished && !m_outlivesFinish && m_journalFd >= 0)
        HeldFile::removeNameOf(m_journalFd);
    if (m_journalFd >= 0)
        ::close(m_journalFd);
    if (m_movieSyncFd >= 0)
        ::close(m_movieSyncFd);
    m_journalFd = m_movieSyncFd = -1;
    m_pending.clear();
}

} // namespace lumacast::av
