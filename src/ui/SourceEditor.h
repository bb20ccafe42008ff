#pragma once

#include "ui/SornPalette.h"

#include <QPointer>
#include <QWidget>

namespace quilvant {

class Model;
class SornSourceTextView;

// The card's source field: a SornSourceTextView on a rounded, faintly filled background, bound to the model.
// It shows the model's source (never rewriting an equal text), reports the person's edits through
// Model::sourceEdited, and translates text pasted into the empty field.
class SourceEditor final : public QWidget
{
    Q_OBJECT

public:
    explicit SourceEditor(Model* model, QWidget* parent = nullptr);

    SornSourceTextView* textView() const { return m_view; }
    void setTheme(const Theme& theme);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPointer<Model> m_model;
    SornSourceTextView* m_view;
    Theme m_theme = Theme::forLook(false);
};

} // namespace quilvant
