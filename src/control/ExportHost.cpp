#include "control/ExportHost.h"

namespace lumacast {

int checkedTakeCount(const std::optional<Session> &session)
{
    return session ? static_cast<int>(session->checkedTakes().size()) : 0;
}

} // namespace lumacast
