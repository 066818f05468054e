#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace lumacast::media {

// The stored format of one audio track of a movie, as a tail must reproduce it.
struct TakeAudioTrackFormat {
    int formatDescriptionCount = 0; // sample descriptions the track carries
    bool hasStreamDescription = false; // false when the format could not be described at all
    uint32_t formatID = 0; // four-character code as a number: 'aac ', 'lpcm', ...
    double sampleRate = 0;
    int channels = 0;
};

// The audio tracks of a movie in track order. Throws EncoderError when the file cannot be
// opened or read as a movie.
std::vector<TakeAudioTrackFormat> readAudioTrackFormats(const QString &path);

} // namespace lumacast::media
