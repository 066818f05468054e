#pragma once

#include <QString>

#include <optional>

namespace lumacast {

// The webcam overlay's shape, size mode and default corner. The raw values are what the settings
// store ("webcamBlobShape") and what menus name. Shared by the state manager, which remembers the
// shape, and the overlay, which draws it.
enum class BlobShape { round, square };
enum class BlobMode { corner, full };
enum class BlobCorner { topLeft, topRight, bottomLeft, bottomRight };

namespace blob_shape {
QString rawValue(BlobShape shape);
std::optional<BlobShape> fromRawValue(const QString &raw); // exact match only
// A stored value: "square" gives square, anything else (missing, malformed) round.
BlobShape fromStored(const std::optional<QString> &stored);
} // namespace blob_shape

namespace blob_corner {
QString rawValue(BlobCorner corner);
inline constexpr BlobCorner allCases[] = {BlobCorner::topLeft, BlobCorner::topRight, BlobCorner::bottomLeft,
                                          BlobCorner::bottomRight};
} // namespace blob_corner

} // namespace lumacast
