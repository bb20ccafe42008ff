#pragma once

#include "ui/SornPalette.h"

#include <QList>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace quilvant::settings {

// One group of the settings form: an optional title above a rounded box whose rows are separated by hair lines.
// A row is a label in the form's label column beside its control; every section of the form shares that column,
// so that all controls start at one edge.
class FormSection : public QWidget
{
public:
    explicit FormSection(QWidget* parent = nullptr);

    void setTitle(const QString& title);

    // A row with a label beside `control`; returns the label, whose text relabelRow() sets. A control that
    // `stretches` takes the rest of the row (fields, pickers); others keep their own width.
    QLabel* addRow(QWidget* control, bool stretches = true);
    // A row holding `content` alone, across the box; returns the row.
    QWidget* addWide(QWidget* content);
    // A caption in the secondary colour, word-wrapped; the section tints it with the look.
    QLabel* caption(int pixels = 12);

    // Sets a row label's text. A label that names a detail after " · " or in parentheses shows the detail on a
    // line of its own, so that a label never breaks inside a word; the control is named by the whole text.
    static void relabelRow(QLabel* label, const QString& text);

    // The width the widest row label of this section needs, and the column every row label is given.
    int labelColumnHint() const;
    void setLabelColumn(int width);

    virtual void setTheme(const Theme& theme);

protected:
    const Theme& theme() const { return m_theme; }

private:
    class Box;
    QWidget* newRow();

    QLabel* m_title;
    Box* m_box;
    QVBoxLayout* m_rows;
    QList<QLabel*> m_rowLabels;
    QList<QLabel*> m_captions;
    Theme m_theme = Theme::forLook(false);
};

} // namespace quilvant::settings
