#pragma once

#include <QByteArray>

#include <optional>

namespace lumacast::av {

// What the H.264 sequence parameter set of a movie's avcC record says about timing. Our takes
// hold a picture that does not change instead of encoding it again, so their samples come less
// often than their rate; the encoder states that rate here, as a fixed frame rate.
//
// Reads only as far as the timing; pure, any thread. A record it cannot read gives nullopt.
struct SequenceParameterSet {
    // Frames per second when the stream states a fixed frame rate, else nullopt.
    std::optional<double> fixedFrameRate;

    static std::optional<SequenceParameterSet> fromAvcC(const QByteArray &record);
};

} // namespace lumacast::av
