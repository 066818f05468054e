#pragma once

#include "platform/av/Asset.h"
#include "platform/av/FormatDescription.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieStructure.h"

#include <QFile>
#include <QList>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <memory>
#include <span>

namespace lumacast::av {

// Timing of one sample handed to the writer, in its track's media timescale.
struct SampleTiming {
    std::int64_t decodeTime = 0;
    std::int64_t presentationTime = 0;
    std::uint32_t duration = 0;
    bool keyframe = true;
    int descriptionIndex = 1; // 1-based, as returned by addSampleDescription
};

// One sample of a run copied from a source file: its size in bytes and its timing.
struct CopiedSample {
    std::uint32_t size = 0;
    SampleTiming timing;
};

struct WriterTrackSettings {
    MediaType mediaType = MediaType::Video;
    std::int32_t mediaTimescale = 600;
    QSizeF naturalSize;                // video: the tkhd width and height
    AffineTransform preferredTransform;
    bool enabled = true;
};

// Writes a QuickTime movie (.mov) box by box: 'ftyp' ("qt  "), then the samples in one 'mdat'
// as they are appended, then 'moov' on finish. Unlike libavformat's muxer it writes what a
// passthrough copy needs: edit lists with any number of entries (empty edits included) and
// several sample descriptions in one track, each sample naming its own. Sample bytes are
// written untouched; a sample's decode time must not go backwards within its track.
//
// The file under construction is removed when the writer is destroyed without `finish`.
class MovieWriter {
public:
    explicit MovieWriter(QString path, std::int32_t movieTimescale = 600);
    ~MovieWriter();
    MovieWriter(const MovieWriter &) = delete;
    MovieWriter &operator=(const MovieWriter &) = delete;

    // Creates (or truncates) the file. Throws MediaError(WriteFailed).
    void open();
    // Instead of `open`: finishes a movie whose samples are already in the file (one a crash cut
    // off). `mediaDataStart` is where its 16 bytes of 'wide' and 'mdat' begin; the file is cut to
    // `dataEnd`, and `addSampleAt` then places the samples. A file opened so is never removed, not
    // even when finishing fails. Throws MediaError(WriteFailed), or InvalidArgument when the file
    // is shorter than `dataEnd`.
    void openExisting(std::int64_t mediaDataStart, std::int64_t dataEnd);

    // Returns the track's index (its track ID is index + 1). Tracks appear in the movie in the
    // order they are added.
    int addTrack(const WriterTrackSettings &settings);

    // Adds a sample description to a track and returns its 1-based index. A description of the
    // same format as one the track already has (FormatDescription::sameFormat) is not added
    // again; the first one stands for both. An AAC sound description is written as version 0
    // (soundEntryVersion0). Throws InvalidArgument for a description that cannot be written.
    int addSampleDescription(int track, const FormatDescription &format);
    int sampleDescriptionCount(int track) const;

    // Appends one sample. A decode time beyond the end of the previous sample lengthens the
    // previous sample to meet it; one before that end is refused (InvalidArgument).
    void appendSample(int track, const QByteArray &data, const SampleTiming &timing);
    void appendSample(int track, const char *data, qsizetype size, const SampleTiming &timing);
    // Appends samples whose bytes lie back to back in `source` (open for reading) from
    // `sourceOffset` on, as appending them one by one would, sample tables included. The bytes
    // go from file to file inside the kernel where the two file systems allow it, through a
    // bounded buffer otherwise. Throws as appendSample does, and MediaError(ReadFailed) when the
    // source ends early or cannot be read; a refused or failed run adds nothing to the movie.
    void appendSamples(int track, QFile &source, std::int64_t sourceOffset, std::span<const CopiedSample> samples);

    // Copies `length` bytes of `source` from `sourceOffset` into the media data as they stand,
    // as no sample yet, and returns the file position they begin at; `addSampleAt` then places
    // samples inside them. One copy of a source's whole stretch costs one system call where
    // copying its interleaved samples run by run costs one per sample; bytes that no sample ends
    // up referring to are left in the media data unread. Copies as appendSamples does; a failed
    // copy adds nothing.
    std::int64_t appendBytes(QFile &source, std::int64_t sourceOffset, std::int64_t length);
    // Adds a sample whose bytes already lie in the media data at file position `position`.
    // Timing rules as appendSample; throws InvalidArgument for bytes outside the media data
    // written so far.
    void addSampleAt(int track, std::int64_t position, std::uint32_t size, const SampleTiming &timing);

    // Announces `bytes` more bytes of samples, so that the file system sets their room aside in
    // one go rather than block by block as they arrive: long copies run markedly faster. The
    // file's size is unchanged; where room cannot be set aside this does nothing.
    void reserveSampleBytes(std::int64_t bytes);

    // The decode time just after the last appended sample (0 when there is none).
    std::int64_t mediaEnd(int track) const;

    // Appends one entry to the track's edit list. Without any entry the whole media is shown
    // from the earliest presentation time.
    void addEdit(int track, const EditEntry &edit);

    std::int32_t movieTimescale() const { return m_movieTimescale; }
    int trackCount() const { return int(m_tracks.size()); }
    // Bytes of samples written so far.
    std::int64_t sampleBytesWritten() const { return m_mdatBytes; }

    // Writes the movie box and closes the file. Throws MediaError(WriteFailed); after a failure
    // the file is removed.
    void finish();
    // Stops and removes the file.
    void cancel();

private:
    struct Track;
    // What a sample's checks need to know of the track before it.
    struct TrackEnd {
        bool hasSamples = false;
        std::int64_t mediaEnd = 0;
        std::uint32_t lastDuration = 0;
    };
    static TrackEnd endOf(const Track &track);
    void checkSample(int index, const Track &track, const TrackEnd &end, qsizetype size,
                     const SampleTiming &timing) const;
    void recordSample(int index, Track &track, std::int64_t position, std::uint32_t size, const SampleTiming &timing,
                      bool continuesChunk);
    std::int64_t copyRun(QFile &source, std::int64_t sourceOffset, std::int64_t length);
    void copyFrom(QFile &source, std::int64_t sourceOffset, std::int64_t position, std::int64_t length);
    void writeRaw(const QByteArray &bytes);
    MediaError writeError(const QString &reason) const;
    QString fileWriteFailure() const;
    Track &track(int index);
    const Track &track(int index) const;
    QByteArray trackBox(const Track &track, std::uint32_t trackID, std::int64_t duration) const;

    QString m_path;
    std::int32_t m_movieTimescale;
    QFile m_file;
    std::vector<std::unique_ptr<Track>> m_tracks;
    std::int64_t m_mdatStart = 0;
    std::int64_t m_mdatBytes = 0;
    int m_lastTrack = -1;
    std::int64_t m_lastChunkEnd = -1;
    bool m_open = false;
    bool m_finished = false;
    bool m_keepFile = false; // the file held samples before the writer opened it
    // Cleared once the kernel refuses to copy between the files; later runs go through m_copyBuffer.
    bool m_kernelCopy = true;
    QByteArray m_copyBuffer;
};

} // namespace lumacast::av
