#include "app/PointerRule.h"

namespace quilvant::PointerRule {

bool closesCard(const Card& card, const Press& press)
{
    if (!card.exists || press.onCard || press.onOwnWindow || !card.visible) {
        return false;
    }
    if (press.position && card.frame.adjusted(-margin, -margin, margin, margin).contains(*press.position)) {
        return false;
    }
    return !card.pinned && !card.captureInProgress && card.shownAt < press.at;
}

} // namespace quilvant::PointerRule
