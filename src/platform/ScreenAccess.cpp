#include "platform/ScreenAccess.h"

#include "platform/CaptureTool.h"

namespace quilvant {

bool ScreenAccess::granted() const
{
    return m_tool == nullptr || m_tool->available();
}

} // namespace quilvant
