#pragma once

#include "ui/SornPalette.h"

#include <QAbstractButton>
#include <QTextEdit>
#include <QTimer>

class QLabel;
class QVariantAnimation;

// The small pieces the card is built from, each drawn in the card's look.
namespace quilvant::card {

// The system font at a size in points (device-independent pixels, as the card's design gives them).
QFont pixelFont(int pixels, QFont::Weight weight = QFont::Normal);

// Sets the colour a label's text is drawn in.
void setTextColour(QLabel* label, const QColor& colour);

// A style sheet for thin vertical scroll bars without arrow buttons: a rounded handle with a gap to the text at
// its left, kept `endInset` points from both ends, so that it touches neither the text nor a rounded edge.
QString scrollBarStyleSheet(const Theme& theme, int endInset = 2);

// The product's mark, tinted with the accent; clicks pass through it to the header.
class BrandMark final : public QWidget
{
public:
    explicit BrandMark(int size, QWidget* parent = nullptr);
    void setTheme(const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour = SornPalette::accent();
};

// A label that shortens its one line with an ellipsis instead of pushing its neighbours aside.
class ElidingLabel final : public QWidget
{
public:
    explicit ElidingLabel(QWidget* parent = nullptr);
    QString text() const { return m_text; }
    void setText(const QString& text);
    void setColour(const QColor& colour);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QColor m_colour;
};

// The row that shows or hides the source: a chevron and a caption; the whole row is the button.
class DisclosureButton final : public QAbstractButton
{
public:
    explicit DisclosureButton(QWidget* parent = nullptr);
    void setExpanded(bool expanded);
    void setTheme(const Theme& theme);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_expanded = true;
    Theme m_theme = Theme::forLook(false);
};

// A hair line between the source and the translation.
class Divider final : public QWidget
{
public:
    explicit Divider(QWidget* parent = nullptr);
    void setTheme(const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme m_theme = Theme::forLook(false);
};

// A small spinning indicator; it turns only while it is shown.
class Spinner final : public QWidget
{
public:
    explicit Spinner(QWidget* parent = nullptr);
    void setTheme(const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer m_timer;
    int m_step = 0;
    Theme m_theme = Theme::forLook(false);
};

// Translate / Stop: white symbol and text on the accent colour.
class MainButton final : public QAbstractButton
{
public:
    explicit MainButton(QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    QString symbol() const { return m_symbol; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString m_symbol;
};

// "Copied": a capsule with a check mark that fades in and out.
class CopyNotice final : public QWidget
{
public:
    explicit CopyNotice(QWidget* parent = nullptr);
    void setText(const QString& text);
    void setTheme(const Theme& theme);
    // Fades in (shown) or out; without animation the change is immediate.
    void present(bool shown, bool animated);
    bool presented() const { return m_presented; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    bool m_presented = false;
    qreal m_opacity = 0.0;
    Theme m_theme = Theme::forLook(false);
    QVariantAnimation* m_fade;
};

// The translation: selectable, read-only text with extra line spacing. Text that extends what is shown is
// appended in place, so streaming neither rewraps the whole text nor moves the scroll position or selection.
class TranslationText final : public QTextEdit
{
public:
    explicit TranslationText(QWidget* parent = nullptr);
    void showTranslation(const QString& text);
    void setTheme(const Theme& theme);

private:
    void applyLineSpacing();
    QString m_shown;
};

} // namespace quilvant::card
