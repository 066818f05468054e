#include "store/WebcamBlob.h"

namespace lumacast {

namespace blob_shape {
QString rawValue(BlobShape shape) { return shape == BlobShape::round ? QStringLiteral("round") : QStringLiteral("square"); }

std::optional<BlobShape> fromRawValue(const QString &raw)
{
    if (raw == QLatin1String("round"))
        return BlobShape::round;
    if (raw == QLatin1String("square"))
        return BlobShape::square;
    return std::nullopt;
}

BlobShape fromStored(const std::optional<QString> &stored)
{
    return stored == QStringLiteral("square") ? BlobShape::square : BlobShape::round;
}
} // namespace blob_shape

namespace blob_corner {
QString rawValue(BlobCorner corner)
{
    switch (corner) {
    case BlobCorner::topLeft:
        return QStringLiteral("topLeft");
    case BlobCorner::topRight:
        return QStringLiteral("topRight");
    case BlobCorner::bottomLeft:
        return QStringLiteral("bottomLeft");
    case BlobCorner::bottomRight:
        return QStringLiteral("bottomRight");
    }
    return QString();
}
} // namespace blob_corner

} // namespace lumacast
