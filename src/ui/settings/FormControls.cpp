#include "ui/settings/FormControls.h"

#include "ui/CardParts.h"
#include "ui/Icons.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace quilvant::settings {

QLineEdit* field(const QString& name)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setMinimumWidth(160);
    edit->setFont(card::pixelFont(13));
    return edit;
}

QComboBox* picker(const QString& name)
{
    auto* box = new Picker;
    box->setObjectName(name);
    box->setMinimumWidth(160);
    box->setFont(card::pixelFont(13));
    return box;
}

QPushButton* button(const QString& name)
{
    auto* created = new QPushButton;
    created->setObjectName(name);
    created->setFont(card::pixelFont(13));
    created->setAutoDefault(false);
    return created;
}

void selectData(QComboBox* box, const QString& value)
{
    const QSignalBlocker quiet(box);
    const int index = box->findData(value);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

void setFieldText(QLineEdit* edit, const QString& text)
{
    if (edit->text() != text && !edit->hasFocus()) {
        edit->setText(text);
        edit->setCursorPosition(0); // a long value shows its beginning
    }
}

Picker::Picker(QWidget* parent)
    : QComboBox(parent)
{}

void Picker::setTheme(const Theme& theme)
{
    m_arrow = theme.secondary;
    update();
}

void Picker::paintEvent(QPaintEvent* event)
{
    QComboBox::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    Icons::paint(&painter, QRectF(width() - 22, 0, 12, height()), QStringLiteral("chevron.down"), 10, m_arrow);
}

Toggle::Toggle(QWidget* parent)
    : QCheckBox(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void Toggle::setTheme(const Theme& theme)
{
    m_theme = theme;
    update();
}

QSize Toggle::sizeHint() const
{
    return {42, 26};
}

bool Toggle::hitButton(const QPoint& position) const
{
    return rect().contains(position);
}

void Toggle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(3, 4, -3, -4);
    const qreal radius = track.height() / 2;
    if (!isEnabled()) {
        painter.setOpacity(0.55);
    }
    QPainterPath shape;
    shape.addRoundedRect(track, radius, radius);
    if (isChecked()) {
        painter.fillPath(shape, m_theme.accentInk());
    } else {
        painter.fillPath(shape, m_theme.grouped);
        painter.setPen(QPen(m_theme.outline, 1));
        painter.drawPath(shape);
    }
    const qreal knob = track.height() - 4;
    const qreal left = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setPen(Qt::NoPen);
    // On the lifted accent of the dark look a dark knob stands out; on the light look's accent a white one.
    painter.setBrush(!isChecked() ? m_theme.outline : (m_theme.dark ? m_theme.grouped : QColor(Qt::white)));
    painter.drawEllipse(QRectF(left, track.top() + 2, knob, knob));
    if (hasFocus()) {
        painter.setOpacity(1.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(m_theme.accentInk(), 2));
        painter.drawRoundedRect(track.adjusted(-2, -2, 2, 2), radius + 2, radius + 2);
    }
}

} // namespace quilvant::settings
