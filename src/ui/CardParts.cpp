#include "ui/CardParts.h"

#include "ui/Icons.h"
#include "ui/SornBrand.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVariantAnimation>
#include <cmath>

namespace quilvant::card {

QFont pixelFont(int pixels, QFont::Weight weight)
{
    QFont font;
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

void setTextColour(QLabel* label, const QColor& colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    label->setPalette(palette);
}

QString scrollBarStyleSheet(const Theme& theme, int endInset)
{
    const auto css = [](const QColor& colour) { return colour.name(QColor::HexArgb); };
    return QStringLiteral("QScrollBar:vertical { background: transparent; width: 11px; margin: %1px 2px %1px 0; }"
                          "QScrollBar::handle:vertical { background: %2; border-radius: 3px; min-height: 28px;"
                          " margin-left: 3px; }"
                          "QScrollBar::handle:vertical:hover, QScrollBar::handle:vertical:pressed { background: %3; }"
                          "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none;"
                          " background: none; }"
                          "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
        .arg(QString::number(endInset), css(theme.ink(theme.dark ? 0.32 : 0.28)),
             css(theme.ink(theme.dark ? 0.5 : 0.45)));
}

BrandMark::BrandMark(int size, QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BrandMark::setTheme(const Theme& theme)
{
    // The mark is the accent itself; only the dark look lifts it.
    m_colour = theme.dark ? theme.accentInk() : SornPalette::accent();
    update();
}

void BrandMark::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    SornBrand::drawMark(&painter, QRectF(rect()), m_colour);
}

ElidingLabel::ElidingLabel(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidingLabel::setText(const QString& text)
{
    if (text != m_text) {
        m_text = text;
        setAccessibleName(text);
        updateGeometry();
        update();
    }
}

void ElidingLabel::setColour(const QColor& colour)
{
    m_colour = colour;
    update();
}

QSize ElidingLabel::sizeHint() const
{
    return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
}

QSize ElidingLabel::minimumSizeHint() const
{
    return {0, fontMetrics().height()};
}

void ElidingLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(m_colour);
    const QString shown = fontMetrics().elidedText(m_text, Qt::ElideRight, width());
    painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft, shown);
}

DisclosureButton::DisclosureButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setFont(pixelFont(11, QFont::Medium));
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void DisclosureButton::setExpanded(bool expanded)
{
    m_expanded = expanded;
    update();
}

void DisclosureButton::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

QSize DisclosureButton::sizeHint() const
{
    return {14 + fontMetrics().horizontalAdvance(text()), 24};
}

void DisclosureButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = isDown() ? m_theme.primary : m_theme.secondary;
    Icons::paint(&painter, QRectF(0, 0, 10, height()),
                 m_expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), 10, ink);
    painter.setPen(ink);
    painter.drawText(QRect(14, 0, width() - 14, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

Divider::Divider(QWidget* parent)
    : QWidget(parent)
{
    setFixedHeight(1);
}

void Divider::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

void Divider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The separator colour at opacity 0.55.
    painter.fillRect(rect(), m_theme.ink((m_theme.dark ? 0.16 : 0.12) * 0.55));
}

Spinner::Spinner(QWidget* parent)
    : QWidget(parent)
{
    // 12 points of indicator and the 6-point gap before the status, which goes away with the indicator.
    setFixedSize(18, 12);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 8;
        update();
    });
}

void Spinner::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

void Spinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(6, 6);
    for (int i = 0; i < 8; ++i) {
        const double angle = (i * 45.0 - 90.0) * M_PI / 180.0;
        const QPointF direction(std::cos(angle), std::sin(angle));
        const int age = (m_step - i + 8) % 8;
        painter.setPen(QPen(m_theme.ink(0.7 - age * 0.075), 1.4, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(centre + direction * 2.6, centre + direction * 5.2);
    }
}

void Spinner::showEvent(QShowEvent* event)
{
    m_timer.start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent* event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}

MainButton::MainButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setFont(pixelFont(12, QFont::Medium));
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::ArrowCursor);
}

void MainButton::setSymbol(const QString& symbol)
{
    m_symbol = symbol;
    update();
}

QSize MainButton::sizeHint() const
{
    const int content = 10 + 5 + fontMetrics().horizontalAdvance(text());
    return {qMax(70, content + 24), 28};
}

void MainButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QAbstractButton::changeEvent(event);
}

void MainButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(0.42);
    }
    QColor fill = SornPalette::accent();
    if (isDown()) {
        fill = fill.darker(115);
    } else if (underMouse() && isEnabled()) {
        fill = fill.lighter(112);
    }
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, fill);

    const int textWidth = fontMetrics().horizontalAdvance(text());
    const int content = 10 + 5 + textWidth;
    const qreal left = (width() - content) / 2.0;
    Icons::paint(&painter, QRectF(left, 0, 10, height()), m_symbol, 10, Qt::white);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(left + 15, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

CopyNotice::CopyNotice(QWidget* parent)
    : QWidget(parent)
    , m_fade(new QVariantAnimation(this))
{
    setFont(pixelFont(11, QFont::Medium));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_fade->setDuration(150);
    m_fade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_opacity = value.toReal();
        update();
    });
    connect(m_fade, &QVariantAnimation::finished, this, [this] {
        if (!m_presented) {
            hide();
        }
    });
    hide();
}

void CopyNotice::setText(const QString& text)
{
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void CopyNotice::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

QSize CopyNotice::sizeHint() const
{
    return {10 + 12 + 4 + fontMetrics().horizontalAdvance(m_text) + 10, 5 + fontMetrics().height() + 5};
}

void CopyNotice::present(bool shown, bool animated)
{
    m_presented = shown;
    m_fade->stop();
    if (shown) {
        show();
    }
    if (!animated) {
        m_opacity = shown ? 1.0 : 0.0;
        setVisible(shown);
        update();
        return;
    }
    m_fade->setStartValue(m_opacity);
    m_fade->setEndValue(shown ? 1.0 : 0.0);
    m_fade->start();
}

void CopyNotice::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_opacity);
    QPainterPath capsule;
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    capsule.addRoundedRect(area, area.height() / 2, area.height() / 2);
    QColor background = m_theme.window;
    background.setAlphaF(0.9f);
    painter.fillPath(capsule, background);
    painter.setPen(QPen(m_theme.ink(0.08), 1));
    painter.drawPath(capsule);
    const QColor tint = m_theme.accentInk();
    Icons::paint(&painter, QRectF(10, 0, 12, height()), QStringLiteral("checkmark.circle.fill"), 12, tint);
    painter.setPen(tint);
    painter.drawText(QRect(26, 0, width() - 26, height()), Qt::AlignVCenter | Qt::AlignLeft, m_text);
}

TranslationText::TranslationText(QWidget* parent)
    : QTextEdit(parent)
{
    setReadOnly(true);
    setAcceptRichText(false);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Read-only text shows no caret, also when the focus lands here (after the source field collapses).
    setCursorWidth(0);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    QFont font;
    font.setPixelSize(16);
    document()->setDefaultFont(font);
    setFont(font);
}

void TranslationText::setTheme(const Theme& theme)
{
    QPalette palette = theme.widgetPalette();
    palette.setColor(QPalette::Text, theme.primary);
    palette.setColor(QPalette::Base, Qt::transparent);
    setPalette(palette);
    verticalScrollBar()->setStyleSheet(scrollBarStyleSheet(theme));
}

void TranslationText::showTranslation(const QString& text)
{
    if (text == m_shown) {
        return;
    }
    if (!m_shown.isEmpty() && text.startsWith(m_shown)) {
        // A stream only adds to the end: insert the new part where it belongs and leave the rest alone.
        QTextCursor end(document());
        end.movePosition(QTextCursor::End);
        end.insertText(text.mid(m_shown.size()));
    } else {
        setPlainText(text);
        applyLineSpacing();
    }
    m_shown = text;
}

void TranslationText::applyLineSpacing()
{
    // New blocks inherit the format of the block they are split from, so setting it once covers what streams in.
    QTextBlockFormat format;
    format.setLineHeight(5, QTextBlockFormat::LineDistanceHeight);
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    all.mergeBlockFormat(format);
}

} // namespace quilvant::card
