#pragma once

#include <QColor>
#include <QPalette>

namespace quilvant {

// The program's colours: the accent, and the colours of the light and the dark look.
namespace SornPalette {

// sRGB 0.16, 0.48, 0.51, opaque.
const QColor& accent();

} // namespace SornPalette

// The colours of one look. Texts and lines are the primary colour (black or white) at an opacity, as the card
// is drawn over a translucent background.
struct Theme
{
    bool dark = false;
    QColor primary;   // label text
    QColor secondary; // captions, the status line
    QColor tertiary;  // hints
    QColor material;  // the card's background (translucent)
    QColor warning;   // the error line
    QColor window;    // opaque window background (settings, the copy notice's capsule)
    QColor grouped;   // a section of the settings form
    QColor button;    // a push button's face
    QColor outline;   // the edge of a field, picker, button or toggle: it has to be seen to be found
    QColor disabledText;

    static Theme forLook(bool dark);

    // The contrast ratio of `foreground` drawn over the opaque `background` (1 to 21), as accessibility
    // guidelines define it; a translucent foreground is first blended over the background.
    static double contrast(const QColor& foreground, const QColor& background);
    // `colour` blended over the opaque `background`.
    static QColor over(const QColor& colour, const QColor& background);

    // The accent as text, symbols and the focus ring show it: lifted in the dark look, where the dark teal
    // would sink.
    QColor accentInk() const;
    // Black in the light look, white in the dark one, at `opacity`.
    QColor ink(qreal opacity) const;
    // The card's background made opaque, for desktops that do not composite.
    QColor opaqueMaterial() const;
    // A widget palette in this look (fields, scroll bars, selection in the accent colour).
    QPalette widgetPalette() const;
};

} // namespace quilvant
