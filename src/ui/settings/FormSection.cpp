#include "ui/settings/FormSection.h"

#include "ui/CardParts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace quilvant::settings {

class FormSection::Box final : public QWidget
{
public:
    Theme theme = Theme::forLook(false);

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
        painter.fillPath(shape, theme.grouped);
        painter.setPen(QPen(theme.ink(theme.dark ? 0.1 : 0.07), 1));
        painter.drawPath(shape);
        bool first = true;
        for (QObject* child : children()) {
            auto* row = qobject_cast<QWidget*>(child);
            if (row == nullptr || !row->isVisibleTo(this)) {
                continue;
            }
            if (!first) {
                painter.fillRect(QRectF(12, row->y(), width() - 12, 1), theme.ink(theme.dark ? 0.1 : 0.08));
            }
            first = false;
        }
    }
};

FormSection::FormSection(QWidget* parent)
    : QWidget(parent)
    , m_title(new QLabel)
    , m_box(new Box)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    m_title->setFont(card::pixelFont(12, QFont::DemiBold));
    m_title->setContentsMargins(10, 0, 0, 0);
    m_title->hide();
    layout->addWidget(m_title);
    layout->addWidget(m_box);
    m_rows = new QVBoxLayout(m_box);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
}

void FormSection::setTitle(const QString& title)
{
    m_title->setText(title);
    m_title->setVisible(!title.isEmpty());
}

QLabel* FormSection::addRow(QWidget* control, bool stretches)
{
    auto* row = newRow();
    auto* layout = static_cast<QHBoxLayout*>(row->layout());
    auto* label = new QLabel;
    label->setFont(card::pixelFont(13));
    label->setBuddy(control);
    m_rowLabels.append(label);
    layout->addWidget(label);
    layout->addSpacing(12);
    layout->addWidget(control, stretches ? 1 : 0);
    if (!stretches) {
        layout->addStretch(1);
    }
    return label;
}

QWidget* FormSection::addWide(QWidget* content)
{
    auto* row = newRow();
    row->layout()->setContentsMargins(12, 8, 12, 8);
    static_cast<QHBoxLayout*>(row->layout())->addWidget(content, 1);
    return row;
}

QLabel* FormSection::caption(int pixels)
{
    auto* label = new QLabel;
    label->setFont(card::pixelFont(pixels));
    label->setWordWrap(true);
    m_captions.append(label);
    card::setTextColour(label, m_theme.secondary);
    return label;
}

void FormSection::relabelRow(QLabel* label, const QString& text)
{
    qsizetype split = text.indexOf(QStringLiteral(" · "));
    qsizetype detail = split + 3;
    if (split < 0) {
        split = text.indexOf(QStringLiteral(" ("));
        detail = split + 1;
    }
    if (split < 0) {
        split = text.indexOf(QStringLiteral("（"));
        detail = split;
    }
    label->setText(split > 0 ? text.left(split) + QLatin1Char('\n') + text.mid(detail) : text);
    label->setAccessibleName(text);
    if (QWidget* control = label->buddy()) {
        control->setAccessibleName(text);
    }
}

int FormSection::labelColumnHint() const
{
    int widest = 0;
    for (const QLabel* label : m_rowLabels) {
        widest = qMax(widest, label->sizeHint().width());
    }
    return widest;
}

void FormSection::setLabelColumn(int width)
{
    for (QLabel* label : m_rowLabels) {
        label->setFixedWidth(width);
    }
}

void FormSection::setTheme(const Theme& theme)
{
    m_theme = theme;
    m_box->theme = theme;
    card::setTextColour(m_title, theme.secondary);
    for (QLabel* label : m_captions) {
        card::setTextColour(label, theme.secondary);
    }
    m_box->update();
}

QWidget* FormSection::newRow()
{
    auto* row = new QWidget;
    row->setMinimumHeight(34);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 4, 12, 4);
    layout->setSpacing(0);
    m_rows->addWidget(row);
    return row;
}

} // namespace quilvant::settings
