#pragma once

#include "platform/av/FormatDescription.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieStructure.h"

#include <QByteArray>
#include <QFile>

#include <vector>

namespace lumacast::av {

// Re-encodes the frames of an H.264 stretch that lie between a cut and the next key frame, so
// that a copy can start on a frame that is no key frame without hiding anything: the frames
// before the cut are decoded (from the key frame they depend on) only to rebuild the picture,
// the frames from the cut on are encoded anew with the settings every take of that frame size
// is recorded with. For our own takes the new samples therefore carry the source's parameter
// sets and share its sample description; a movie encoded otherwise gets the description of our
// settings (which a take of that size recorded by us shares).
//
// The black picture an empty stretch of a track shows is made here too, for the same reason.
//
// Any thread; one object per call site, not shared. Failures throw MediaError: DecodeFailed
// for a stretch that does not decode, UnsupportedFormat when the codec is not H.264 or the
// encoder cannot be opened.
class CutReencoder {
public:
    explicit CutReencoder(const FormatDescription &format);

    struct Result {
        std::vector<std::pair<QByteArray, bool>> samples; // bytes, and whether it is a key frame
        FormatDescription format; // the source's own when the parameter sets are the same
    };
    // Decodes the samples `decodeFrom` .. `decodeTo - 1` of `samples` (decode order; the first
    // a key frame) from the open movie file `source`, and re-encodes, in presentation order, the
    // frames whose presentation time (media timescale) lies in [showFrom, showTo). The first
    // returned sample is a key frame; the encoder reorders nothing.
    Result reencode(QFile &source, const QList<SampleRecord> &samples, qsizetype decodeFrom, qsizetype decodeTo,
                    std::int64_t showFrom, std::int64_t showTo) const;
    // One black key frame of the format's size.
    Result blackPicture() const;

private:
    FormatDescription m_format;
};

} // namespace lumacast::av
