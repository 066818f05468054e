#include "control/OverlayServices.h"

namespace lumacast::blob_shape {

QString rawValue(BlobShape shape)
{
    return shape == BlobShape::square ? QStringLiteral("square") : QStringLiteral("round");
}

BlobShape fromStored(const std::optional<QString> &stored)
{
    return stored == QStringLiteral("square") ? BlobShape::square : BlobShape::round;
}

} // namespace lumacast::blob_shape
