#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QRectF>

class QPainter;

// The product's mark: filled outlines designed on a 342 x 342 unit grid.
namespace quilvant::SornBrand {

// The mark's outlines in grid units (non-zero winding).
const QPainterPath& outline();

// The mark as a square image of `size` points (at `devicePixelRatio` pixels per point). A template image is
// meant to be tinted by the desktop (a tray icon); it carries the text "template" = "true". Its description
// text is "Sorn · 框选翻译".
QImage mark(qreal size, const QColor& color, bool isTemplate, qreal devicePixelRatio = 1.0);

// Fills the mark into `rect` with `color`. Draws nothing without an active painter.
void drawMark(QPainter* painter, const QRectF& rect, const QColor& color);

} // namespace quilvant::SornBrand
