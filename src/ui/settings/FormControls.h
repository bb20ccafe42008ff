#pragma once

#include "ui/SornPalette.h"

#include <QCheckBox>
#include <QComboBox>
#include <QString>

class QLineEdit;
class QPushButton;

// The controls of the settings form, made alike so that every section looks the same.
namespace quilvant::settings {

QLineEdit* field(const QString& name);
QComboBox* picker(const QString& name);
QPushButton* button(const QString& name);

// Selects the entry whose data is `value` (the first when none has it), without reporting it as a choice.
void selectData(QComboBox* box, const QString& value);
// Shows a stored value, unless the person is typing in that field (the value came from that typing).
void setFieldText(QLineEdit* edit, const QString& text);

// A drop-down whose arrow is drawn in the look's colours (the controls' style sheet draws none).
class Picker final : public QComboBox
{
public:
    explicit Picker(QWidget* parent = nullptr);
    void setTheme(const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_arrow = Theme::forLook(false).secondary;
};

// An on/off switch for one setting: a track in the accent when on, an outlined one when off, and a ring while
// it has the keyboard focus.
class Toggle final : public QCheckBox
{
public:
    explicit Toggle(QWidget* parent = nullptr);
    void setTheme(const Theme& theme);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    Theme m_theme = Theme::forLook(false);
};

} // namespace quilvant::settings
