#include "control/TailOperation.h"

namespace lumacast {

QString TailFailure::kindName(Kind kind)
{
    return kind == Kind::deterministic ? QStringLiteral("deterministic") : QStringLiteral("transient");
}

std::optional<TailFailure> TailOperation::failure() const
{
    if (const auto *failed = std::get_if<Failed>(&phase))
        return failed->failure;
    return std::nullopt;
}

QString caseName(PendingExternalAction action)
{
    return action == PendingExternalAction::quit ? QStringLiteral("quit") : QStringLiteral("close");
}

} // namespace lumacast
