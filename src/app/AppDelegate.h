#pragma once

#include "capture/CaptureFlow.h"
#include "platform/GlobalShortcut.h"
#include "platform/OutsideClicks.h"
#include "session/CardHost.h"
#include "session/Model.h"

#include <QObject>
#include <functional>
#include <memory>

namespace quilvant {

// The desktop program's controller: owns the one Model, the global shortcut, the watch on clicks elsewhere and
// the capture flow, and stands between them and the card's window. Lives on the GUI thread.
class AppDelegate final : public QObject, public CardHost
{
    Q_OBJECT

public:
    struct Backends
    {
        std::unique_ptr<GlobalShortcut> shortcut;
        std::unique_ptr<OutsideClicks> clicks;
        CaptureFlow::Services capture;
        // The platform's own: the session's shortcut, click backends and capture services.
        static Backends system();
    };

    explicit AppDelegate(Backends backends = Backends::system(), QObject* parent = nullptr);
    // Clean-up at the end: the translation stops, the shortcut is given back, a running capture ends (its tool
    // is stopped and its file deleted).
    ~AppDelegate() override;

    Model& model() const { return *m_model; }
    CaptureFlow& flow() const { return *m_flow; }

    // The card's window; without one the card is only noted as shown (diagnostics and shownAt).
    void setCard(CardHost* card) { m_card = card; }

    // Registers the shortcut and starts listening for clicks elsewhere.
    void installInteractions();
    // (Re)registers Alt + the letter of the `shortcut` setting; a failure shows its message on the card.
    void registerShortcut();
    // The settings changed the shortcut (or the interface language): take it into use at once.
    void shortcutChanged();

    void capture();
    void showEmpty() { showCard(std::nullopt); }
    // Closes the card for a press elsewhere when every condition of PointerRule holds.
    void handlePointerDown(const PointerPress& press, bool onCard = false);
    // Stops the translation and asks the program to end.
    void quit();
    void setQuitHandler(std::function<void()> handler) { m_quit = std::move(handler); }

    // The letter of Alt + letter for a `shortcut` setting: D, T or S; anything else gives D.
    static QChar shortcutLetter(const QString& setting);

    // CardHost: forwarded to the card's window.
    void showCard(std::optional<QPoint> anchor) override;
    void prepareCardForCapture() override;

Q_SIGNALS:
    void settingsRequested();

private:
    std::unique_ptr<Model> m_model;
    std::unique_ptr<GlobalShortcut> m_shortcut;
    std::unique_ptr<OutsideClicks> m_clicks;
    std::unique_ptr<CaptureFlow> m_flow;
    CardHost* m_card = nullptr;
    std::function<void()> m_quit;
};

} // namespace quilvant
