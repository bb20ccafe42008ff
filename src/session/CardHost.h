#pragma once

#include <QPoint>
#include <QRect>
#include <optional>

namespace quilvant {

// Where the card's window is shown and hidden. The desktop program implements it with the floating panel;
// the capture flow and the shell only ask for these two things.
class CardHost
{
public:
    virtual ~CardHost() = default;

    // Shows the card (creating its window on first use). Unless the card is pinned it is placed next to
    // `anchor`, a point in global screen coordinates; without an anchor a visible card stays where it is and
    // a hidden one opens next to the pointer. Marks the model's shownAt.
    virtual void showCard(std::optional<QPoint> anchor) = 0;

    // Shows the card beside `region` (global screen coordinates) and not over it: on its right, else on its left,
    // else below or above it; a region that leaves no room anywhere gets the card on its right, kept on screen.
    // The card moves there even when pinned.
    virtual void showCardBeside(const QRect& region) = 0;

    // Before a capture: the status becomes the selection hint and an unpinned card is hidden.
    virtual void prepareCardForCapture() = 0;
};

} // namespace quilvant
