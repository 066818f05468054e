#pragma once

#include "platform/av/TakeEncoderSettings.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

// How every movie we encode sets up libx264: takes and canvas renders alike, so that equal
// settings give byte-identical parameter sets and the movies can be joined without re-encoding.
namespace lumacast::av::detail {

// A frame side as the encoder takes it: 4:2:0 wants an even size of at least 2.
int evenFrameSide(int n);

// The encoders announce their settings at the info level on every open; keeps the console for
// warnings and errors (once per process, and only while the level is still the default).
void quietenEncoderLogging();

// Fills `context` (allocated for libx264) and the open options for `settings` at a coded size
// of `width` x `height`; the movie keeps the parameter sets in its sample description.
void configureH264(AVCodecContext *context, const VideoSettings &settings, int width, int height,
                   AVDictionary **options);

// The NAL units of an Annex B byte stream (start codes and the zero bytes before them removed).
QList<QByteArray> annexBUnits(const std::uint8_t *data, qsizetype size);
// An avcC record for the first SPS and PPS among `units`, with four-byte NAL lengths. Throws
// MediaError(UnsupportedFormat) when either is missing.
QByteArray avcC(const QList<QByteArray> &units);

} // namespace lumacast::av::detail
