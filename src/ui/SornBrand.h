#pragma once

#include <QByteArray>
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

// The brand's colour: the accent of the card and the ground of the application icon.
QColor color();

// The application icon (menus, launchers): the mark in white on a rounded square of the brand colour, filling
// `rect`. Draws nothing without an active painter.
void drawAppIcon(QPainter* painter, const QRectF& rect);

// The application icon as a scalable SVG document, drawn from the same outline.
QByteArray appIconSvg();

// The bare mark as a scalable SVG document in one colour: the symbolic icon that panels tint. The colour is
// the text colour of the "current-color-scheme" style sheet, which hosts that draw themed icons in their own
// colours replace; GTK's symbolic loader repaints the fill itself.
QByteArray markSvg(const QColor& fill);

} // namespace quilvant::SornBrand
