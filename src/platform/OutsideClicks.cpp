#include "platform/OutsideClicks.h"

#include "core/Clock.h"

namespace quilvant {

void FocusLossClicks::windowDeactivated()
{
    Q_EMIT pressed(PointerPress{std::nullopt, Clock::uptime(), std::nullopt});
}

} // namespace quilvant
