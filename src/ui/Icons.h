#pragma once

#include <QColor>
#include <QPixmap>
#include <QRectF>
#include <QString>

class QPainter;

// The program's own icons, drawn as black SVG shapes under the symbol names the card uses ("gearshape", "pin",
// "pin.fill", "xmark", ...) and tinted when drawn, so one drawing serves the light and the dark look.
namespace quilvant::Icons {

// Whether an icon of that name exists.
bool has(const QString& symbol);

// The icon `size` points square in `colour`, rendered for `devicePixelRatio` so it stays sharp when scaled.
// A null pixmap for an unknown symbol.
QPixmap pixmap(const QString& symbol, qreal size, const QColor& colour, qreal devicePixelRatio);

// Draws the icon centred in `rect`, `size` points square, at the painter's device pixel ratio.
void paint(QPainter* painter, const QRectF& rect, const QString& symbol, qreal size, const QColor& colour);

} // namespace quilvant::Icons
