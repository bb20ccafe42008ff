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

QString keepWordsWhole(const QString& text)
{
    const auto joined = [](char32_t c) {
        const QChar::Script script = QChar::script(c);
        // Kana's length mark and iteration marks belong to no one script but are inside words all the same.
        return script == QChar::Script_Han || script == QChar::Script_Hiragana || script == QChar::Script_Katakana ||
               c == 0x30fc || c == 0x3005 || c == 0x309d || c == 0x309e || c == 0x30fd || c == 0x30fe;
    };
    QString kept;
    kept.reserve(text.size() + text.size() / 2);
    char32_t previous = 0;
    for (const uint c : text.toUcs4()) {
        if (joined(previous) && joined(c)) {
            kept += QChar(0x2060); // WORD JOINER
        }
        kept += QChar::fromUcs4(c);
        previous = c;
    }
    return kept;
}

void fitInformativeText(QMessageBox* box)
{
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    if (label == nullptr) {
        return;
    }
    const QFontMetrics metrics = label->fontMetrics();
    const QString text = keepWordsWhole(label->text());
    int longest = 0;
    int widestPiece = 0; // what cannot be broken: a clause of joined characters, a long word
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        longest = qMax(longest, metrics.horizontalAdvance(line));
        qsizetype start = 0;
        for (qsizetype i = 0; i <= line.size(); ++i) {
            const bool breaks = i == line.size() || line[i].isSpace() ||
                                (i > 0 && line[i - 1].isPunct() && line[i] != QChar(0x2060) && !line[i].isPunct());
            if (breaks) {
                widestPiece = qMax(widestPiece, metrics.horizontalAdvance(line.mid(start, i - start)));
                start = i;
            }
        }
    }
    if (text != label->text()) {
        label->setText(text);
    }
    // Some room over the measured advance: the label's layout wraps a line that only just fits. A long single
    // sentence still wraps, into lines a reader's eye can follow, and never narrower than its widest piece.
    const int room = metrics.averageCharWidth() * 2;
    label->setMinimumWidth(qMax(qMin(longest + room, 440), qMin(widestPiece + room, 640)));
}

} // namespace quilvant::StockLook
