#pragma once

#include "ui/SornPalette.h"

#include <QString>

class QMessageBox;
class QWidget;

// The look of the parts Qt draws for us (message boxes, the tray menu, tool tips): the program's palette for the
// desktop's light or dark preference, followed when it changes, and controls whose edges and focus can be seen.
namespace quilvant::StockLook {

// The look the desktop prefers right now.
Theme current();

// Gives `widget` the current look now and again at every change of the preference; tool tips follow as well.
void follow(QWidget* widget);

// A style sheet for line edits, pickers and push buttons in `theme`: edges that can be seen (3:1), a focus ring
// in the accent, and room around a button's text.
QString controlsStyleSheet(const Theme& theme);

// Gives every line edit, picker and push button in `root` (itself included) that style sheet. It is set on each
// control rather than on `root`, where it would take the labels' own colours from them.
void styleControls(QWidget* root, const Theme& theme);

// Widens a message box's informative text to its longest line (within reason), so that a text of a few short
// lines keeps them instead of wrapping each in two; Chinese and Japanese text wraps only after its punctuation,
// never inside a word.
void fitInformativeText(QMessageBox* box);

// `text` with a word joiner between neighbouring Han and kana characters: a line of it breaks at punctuation and
// spaces only (Chinese and Japanese write no spaces between words, and a break inside a word splits it).
QString keepWordsWhole(const QString& text);

} // namespace quilvant::StockLook
