#pragma once

#include "ui/SornPalette.h"

#include <QAbstractButton>

namespace quilvant {

// The card's square icon button: an icon on a rounded background that shows hover and an "active" (toggled
// on) state in the accent colour. Its help text is both the tool tip and the accessible name.
class IconControl final : public QAbstractButton
{
    Q_OBJECT

public:
    IconControl(const QString& symbol, qreal size, qreal iconSize, QWidget* parent = nullptr);

    QString symbol() const { return m_symbol; }
    void setSymbol(const QString& symbol);
    QString help() const { return toolTip(); }
    void setHelp(const QString& help);
    bool active() const { return m_active; }
    void setActive(bool active);
    bool hovered() const { return m_hovered; }
    void setTheme(const Theme& theme);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString m_symbol;
    qreal m_size;
    qreal m_iconSize;
    bool m_active = false;
    bool m_hovered = false;
    Theme m_theme = Theme::forLook(false);
};

} // namespace quilvant
