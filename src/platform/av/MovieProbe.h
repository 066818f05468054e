#pragma once

#include <QString>

#include <optional>

namespace lumacast::av {

// The presentation length of a movie file in seconds, as a player shows it: edit lists are
// honoured, so hidden leading frames and encoder priming do not count. Returns nullopt when the
// file cannot be opened or read as a movie.
std::optional<double> movieDurationSeconds(const QString &path);

} // namespace lumacast::av
