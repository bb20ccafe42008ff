#include "ui/SourceEditor.h"

#include "session/Model.h"
#include "ui/CardParts.h"
#include "ui/SornSourceTextView.h"

#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QVBoxLayout>

namespace quilvant {

SourceEditor::SourceEditor(Model* model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_view(new SornSourceTextView(this))
{
    auto* layout = new QVBoxLayout(this);
    // One point inside the outline, so that the text's background never covers it.
    layout->setContentsMargins(1, 1, 1, 1);
    layout->addWidget(m_view);
    m_view->viewport()->setAutoFillBackground(false);
    m_view->setAutoFillBackground(false);

    QPointer<Model> weak(model);
    m_view->setOnEmptyPaste([weak](const QString& text) {
        if (weak) {
            weak->setSource(text);
            weak->translate();
        }
    });
    connect(m_view, &SornSourceTextView::edited, this, [this](const QString& text) {
        if (m_model) {
            m_model->sourceEdited(text);
        }
    });
    if (model != nullptr) {
        connect(model, &Model::sourceChanged, this, [this] { m_view->showText(m_model->source()); });
        m_view->showText(model->source());
    }
    setTheme(m_theme);
}

void SourceEditor::setTheme(const Theme& theme)
{
    m_theme = theme;
    QPalette palette = theme.widgetPalette();
    palette.setColor(QPalette::Text, theme.primary);
    palette.setColor(QPalette::Base, Qt::transparent);
    m_view->setPalette(palette);
    // Kept clear of the field's rounded corners and of its outline.
    m_view->verticalScrollBar()->setStyleSheet(card::scrollBarStyleSheet(theme, 9));
    update();
}

void SourceEditor::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    painter.fillPath(shape, m_theme.ink(0.035));
    painter.setPen(QPen(m_theme.ink(m_theme.dark ? 0.12 : 0.09), 1));
    painter.drawPath(shape);
}

} // namespace quilvant
