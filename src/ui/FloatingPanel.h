#pragma once

#include <QRect>
#include <QWidget>
#include <optional>

namespace quilvant {

// The card's window: frameless, above other windows, on every workspace and out of the task bar. Mapping it does
// not activate it; the focus is asked for once it is shown (CardKeyboard) and taken when the person clicks into
// it. It is resized from its edges; where the desktop composites, its
// outermost 3 points are a transparent band around the card that belongs to the resize edges.
class FloatingPanel final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int hitBand = 3;
    static constexpr QSize minimumPanelSize{400, 430};
    static constexpr QSize initialSize{430, 500};

    // The panel hosts `content` (the card) and takes ownership of it.
    explicit FloatingPanel(QWidget* content);

    QWidget* content() const { return m_content; }

    // Translucent: the content is drawn inside the transparent band, with its own rounded corners. Without a
    // compositor the panel is opaque and the content fills it. Takes effect at once while the panel is hidden.
    void setTranslucent(bool translucent);
    bool translucent() const { return m_translucent; }

    // The resize edges a press at `point` (in the panel's coordinates) grabs; none inside the band.
    Qt::Edges edgesAt(const QPoint& point) const;

Q_SIGNALS:
    // Escape while the panel has the focus.
    void cancelRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool handleMouse(QWidget* receiver, QEvent* event);
    void updateCursor(Qt::Edges edges);

    QWidget* m_content;
    bool m_translucent = false;
    // A resize followed by hand, when no window manager took it over.
    Qt::Edges m_resizing;
    QRect m_resizeStart;
    QPoint m_pressAt;
};

} // namespace quilvant
