#pragma once

#include <QString>

// What a name must be to name one item on disk.
namespace lumacast::file_name {

// The longest name of one item Linux file systems take, in bytes as stored (UTF-8).
inline constexpr qsizetype kLongest = 255;

// `name` when it takes at most `bytes` bytes as a file name, else its beginning, cut after the
// last whole character (an emoji or a letter with its accents is never split) that fits.
QString shortened(const QString &name, qsizetype bytes);

} // namespace lumacast::file_name
