#pragma once

#include <QPoint>
#include <QRect>
#include <optional>

// When a mouse press closes the card: only a press outside an unpinned, visible card, made after the card was
// shown and while no capture runs (the capture tool's own drag counts as a press elsewhere).
namespace quilvant::PointerRule {

// A margin around the card's frame, in screen points, within which a press still counts as on the card.
inline constexpr int margin = 3;

struct Card
{
    bool exists = false;
    bool visible = false;
    QRect frame; // in global screen coordinates
    bool pinned = false;
    bool captureInProgress = false;
    double shownAt = 0; // Clock::uptime() seconds
};

struct Press
{
    bool onCard = false;            // the press went to the card's own window
    bool onOwnWindow = false;       // to another window of ours (a dialog, the settings, a menu) or while a
                                    // dialog of ours waits for an answer
    std::optional<QPoint> position; // global screen coordinates; unknown counts as elsewhere
    double at = 0;                  // Clock::uptime() seconds
};

bool closesCard(const Card& card, const Press& press);

} // namespace quilvant::PointerRule
