#pragma once

#include "platform/KeyboardFocus.h"

#include <QObject>
#include <QPointer>
#include <memory>

namespace quilvant {

class FloatingPanel;
class Model;

// The keyboard for the card: the panel asks for the focus each time the card is shown, so that Escape and
// typing reach it at once. Where the focus does not arrive (a window manager that refuses it), Escape is
// grabbed while the card is shown and unpinned, and closes it all the same; the grab goes when the focus
// arrives, the card is pinned (the person works elsewhere beside it) or hidden.
class CardKeyboard final : public QObject
{
    Q_OBJECT

public:
    CardKeyboard(FloatingPanel* panel, Model* model, std::unique_ptr<KeyboardFocus> focus);
    ~CardKeyboard() override;

    // The card was just shown (or shown again): asks for the focus once the window is mapped.
    void takeFocus();
    // Escape is grabbed now.
    bool escapeGrabbed() const { return m_grabbed; }

private:
    static constexpr int retryMs = 250;

    bool eventFilter(QObject* watched, QEvent* event) override;
    void update();

    FloatingPanel* m_panel;
    QPointer<Model> m_model;
    std::unique_ptr<KeyboardFocus> m_focus;
    bool m_grabbed = false;
};

} // namespace quilvant
