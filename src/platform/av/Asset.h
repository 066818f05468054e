#pragma once

#include "platform/av/FormatDescription.h"
#include "platform/av/MediaTime.h"
#include "platform/av/MovieStructure.h"

#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <memory>

namespace lumacast::av {

// A 2-D affine transform in the row-vector convention of movie track matrices:
// x' = a*x + c*y + tx, y' = b*x + d*y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    // Rotation by `degrees` counter-clockwise in a y-up frame (clockwise on screen).
    static AffineTransform rotation(double degrees);

    // This transform followed by `next`.
    AffineTransform concatenating(const AffineTransform &next) const;
    QPointF map(const QPointF &p) const { return {a * p.x() + c * p.y() + tx, b * p.x() + d * p.y() + ty}; }
    // The bounding rectangle of the transformed corners (width and height never negative).
    QRectF mapRect(const QRectF &r) const;
    bool isIdentity() const { return *this == AffineTransform{}; }
    friend bool operator==(const AffineTransform &, const AffineTransform &) = default;
};

struct AssetTrack {
    int index = 0;              // position among the movie's tracks
    std::uint32_t trackID = 0;
    MediaType mediaType = MediaType::Other;
    QList<FormatDescription> formatDescriptions;
    QSizeF naturalSize;         // video: the stored picture size; audio: empty
    AffineTransform preferredTransform;
    double nominalFrameRate = 0; // samples per second of media (video); 0 when unknown
    MediaTimeRange timeRange;   // on the movie timeline, edits applied
    std::int32_t naturalTimescale = 0;
    int streamIndex = -1;       // the libavformat stream of this track

    // The natural size turned by the preferred transform.
    QRectF orientedFrame() const { return preferredTransform.mapRect(QRectF(QPointF(0, 0), naturalSize)); }
};

// An opened movie: its tracks in file order and its presentation length. QuickTime and MP4
// files are read from their own boxes (edit lists and every sample description exactly as
// written); other containers through libavformat, with one format description per track.
class Asset {
public:
    // Throws MediaError (CannotOpen for a missing or unreadable file, CorruptMovie or
    // UnsupportedFormat for a file that is not a readable movie).
    static std::shared_ptr<const Asset> open(const QString &path);

    const QString &path() const { return m_path; }
    // The longest track's presentation length, edit lists honoured.
    MediaTime duration() const { return m_duration; }
    const QList<AssetTrack> &tracks() const { return m_tracks; }
    QList<AssetTrack> tracks(MediaType type) const;
    // QuickTime/MP4 files only; null otherwise.
    const MovieStructure *structure() const { return m_structure ? &*m_structure : nullptr; }
    const TrackStructure *trackStructure(const AssetTrack &track) const;

private:
    QString m_path;
    MediaTime m_duration = MediaTime::zero();
    QList<AssetTrack> m_tracks;
    std::optional<MovieStructure> m_structure;
};

} // namespace lumacast::av
