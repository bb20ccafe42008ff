#pragma once

#include "session/CardHost.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <memory>

namespace quilvant {

class Card;
class CardKeyboard;
class FloatingPanel;
class Model;

// The card in its floating panel, as the desktop program and the capture flow use it. The panel is made on
// the first show and kept for the life of this object; closing only hides it, and the card's state stays in
// the model. The look follows the desktop's light or dark preference live unless a look is forced.
class CardWindow final : public QObject, public CardHost
{
    Q_OBJECT

public:
    explicit CardWindow(Model* model, QObject* parent = nullptr);
    ~CardWindow() override;

    // Builds the panel ahead of its first showing, so that the first capture's card appears as fast as later
    // ones; it stays hidden.
    void prepare();

    void showCard(std::optional<QPoint> anchor) override;
    void prepareCardForCapture() override;

    // Closes the card as its close button, Escape or a click elsewhere do: records "card.closed", stops the
    // model and hides the panel.
    void closeCard();

    // Null until the card was first shown.
    FloatingPanel* panel() const;
    Card* card() const;
    bool isShown() const;

    // Null until the card was first shown.
    CardKeyboard* keyboard() const { return m_keyboard; }

    // Forces the light (false) or dark (true) look; nullopt follows the desktop again.
    void setForcedDark(std::optional<bool> dark);

    // Where the panel of `size` goes for a `point` on a screen whose usable area is `available`: 18 points
    // right of the point with its top edge at the point, kept 12 points inside the area; when the area is too
    // small, the top and left margins win.
    static QPoint placement(const QPoint& point, const QRect& available, const QSize& size);

Q_SIGNALS:
    // The panel was hidden by closeCard() (not by a capture).
    void closed();

private:
    void ensurePanel();
    // The window with an alpha channel where a compositor runs, opaque where none does.
    void matchCompositor();
    void applyLook();

    QPointer<Model> m_model;
    std::unique_ptr<FloatingPanel> m_panel;
    Card* m_card = nullptr;
    CardKeyboard* m_keyboard = nullptr; // owned by the panel
    std::optional<bool> m_forcedDark;
};

} // namespace quilvant
