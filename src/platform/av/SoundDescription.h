#pragma once

#include "platform/av/MediaError.h"

#include <QByteArray>
#include <QString>

namespace lumacast::av {

// QuickTime sound descriptions of AAC as every player reads them without complaint. libavformat
// and older writers describe AAC with a version 1 sound description whose packet sizes are zero,
// which some players report as a broken file; the same sound described by a version 0 entry with
// its 'esds' as a direct child (as MP4 files carry it) is read alike everywhere.

// The 'mp4a' entry `entry` (whole, box header included) as a version 0 description; any other
// entry (another codec, version 0 already, version 2 for rates above 65535 Hz, no 'esds') is
// returned unchanged. Pure function, any thread.
QByteArray soundEntryVersion0(const QByteArray &entry);

// Rewrites the sound descriptions of the movie at `path` in place with soundEntryVersion0. Only
// a movie whose movie box comes last is rewritten (the samples before it stay where they are);
// others are left alone. Throws MediaError (CannotOpen, WriteFailed); a file that cannot be
// parsed is left as it was.
void rewriteSoundDescriptions(const QString &path);

} // namespace lumacast::av
