#include "ui/IconControl.h"

#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>

namespace quilvant {

namespace {
constexpr qreal symbolScale = 1.25;
} // namespace

IconControl::IconControl(const QString& symbol, qreal size, qreal iconSize, QWidget* parent)
    : QAbstractButton(parent)
    , m_symbol(symbol)
    , m_size(size)
    , m_iconSize(iconSize)
{
    setFixedSize(qRound(size), qRound(size));
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
}

void IconControl::setSymbol(const QString& symbol)
{
    if (symbol != m_symbol) {
        m_symbol = symbol;
        update();
    }
}

void IconControl::setHelp(const QString& help)
{
    setToolTip(help);
    setAccessibleName(help);
}

void IconControl::setActive(bool active)
{
    if (active != m_active) {
        m_active = active;
        update();
    }
}

void IconControl::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

QSize IconControl::sizeHint() const
{
    return {qRound(m_size), qRound(m_size)};
}

void IconControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool hot = m_hovered && isEnabled();
    QColor fill = Qt::transparent;
    QColor ink = m_theme.ink(hot ? 0.9 : 0.58);
    if (m_active) {
        fill = SornPalette::accent();
        fill.setAlphaF(0.12f);
        ink = m_theme.accentInk();
    } else if (hot) {
        fill = m_theme.ink(0.07);
    }
    if (isDown()) {
        fill = m_theme.ink(0.12);
    }
    if (!isEnabled()) {
        ink = m_theme.ink(0.22);
    }
    if (fill.alpha() > 0) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(shape, fill);
    }
    // The size is a symbol's point size, as for a glyph: its drawing fills a little more than that.
    Icons::paint(&painter, QRectF(rect()), m_symbol, m_iconSize * symbolScale, ink);
}

void IconControl::enterEvent(QEnterEvent* event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void IconControl::leaveEvent(QEvent* event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

} // namespace quilvant
