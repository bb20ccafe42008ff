#include "ui/StockLook.h"

#include "platform/ColorScheme.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolTip>
#include <QWidget>

namespace quilvant::StockLook {

namespace {

QString css(const QColor& colour)
{
    return colour.name(QColor::HexArgb);
}

void apply(QWidget* widget)
{
    const Theme theme = current();
    const QPalette palette = theme.widgetPalette();
    widget->setPalette(palette);
    styleControls(widget, theme);
    QToolTip::setPalette(palette);
}

} // namespace

Theme current()
{
    return Theme::forLook(ColorScheme::instance()->dark());
}

void follow(QWidget* widget)
{
    apply(widget);
    QObject::connect(ColorScheme::instance(), &ColorScheme::changed, widget, [widget] { apply(widget); });
}

QString controlsStyleSheet(const Theme& theme)
{
    const QPalette palette = theme.widgetPalette();
    const QString text = css(palette.color(QPalette::Text));
    const QString outline = css(theme.outline);
    const QString focus = css(theme.accentInk());
    const QString field = css(theme.grouped);
    const QString face = css(theme.button);
    const QString hover = css(Theme::over(theme.ink(0.06), theme.button));
    const QString pressed = css(Theme::over(theme.ink(0.12), theme.button));
    const QString disabled = css(theme.disabledText);
    const QString selection = css(SornPalette::accent());
    // The focus ring is one point wider than the edge; the padding gives that point back, so that nothing moves.
    return QStringLiteral(
               "QLineEdit, QComboBox { background: %1; color: %2; border: 1px solid %3; border-radius: 6px;"
               " padding: 4px 8px; min-height: 18px; selection-background-color: %4; selection-color: #ffffff; }"
               "QLineEdit:focus, QComboBox:focus { border: 2px solid %5; padding: 3px 7px; }"
               "QLineEdit:disabled, QComboBox:disabled { color: %6; }"
               "QComboBox::drop-down { border: none; width: 22px; }"
               "QComboBox::down-arrow { image: none; }"
               "QComboBox QAbstractItemView { background: %1; color: %2; border: 1px solid %3; outline: 0;"
               " selection-background-color: %4; selection-color: #ffffff; }"
               "QPushButton { background: %7; color: %2; border: 1px solid %3; border-radius: 6px;"
               " padding: 5px 14px; min-height: 18px; }"
               "QPushButton:hover { background: %8; }"
               "QPushButton:pressed { background: %9; }"
               "QPushButton:focus { border: 2px solid %5; padding: 4px 13px; }"
               "QPushButton:disabled { color: %6; }")
        .arg(field, text, outline, selection, focus, disabled, face, hover, pressed);
}

void styleControls(QWidget* root, const Theme& theme)
{
    const QString sheet = controlsStyleSheet(theme);
    QList<QWidget*> controls = root->findChildren<QWidget*>();
    controls.prepend(root);
    for (QWidget* control : controls) {
        if (qobject_cast<QLineEdit*>(control) != nullptr || qobject_cast<QComboBox*>(control) != nullptr ||
            qobject_cast<QPushButton*>(control) != nullptr) {
            control->setStyleSheet(sheet);
        }
    }
}

void fitInformativeText(QMessageBox* box)
{
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    if (label == nullptr) {
        return;
    }
    int longest = 0;
    for (const QString& line : label->text().split(QLatin1Char('\n'))) {
        longest = qMax(longest, label->fontMetrics().horizontalAdvance(line));
    }
    // Some room over the measured advance: the label's layout wraps a line that only just fits. A long single
    // sentence still wraps, into lines a reader's eye can follow.
    label->setMinimumWidth(qMin(longest + label->fontMetrics().averageCharWidth() * 2, 440));
}

} // namespace quilvant::StockLook
