#include "app/RegressionTest.h"

#include "app/AppDelegate.h"
#include "app/PointerRule.h"
#include "core/Clock.h"
#include "core/Console.h"
#include "core/EventLoop.h"
#include "platform/X11Window.h"
#include "session/Model.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"

#include <QGuiApplication>
#include <QScreen>

namespace quilvant::RegressionTest {

namespace {

// Time for a window manager to map or unmap the window; without one it happens at once.
constexpr int mapWait = 3000;

Error failed(const QString& what)
{
    return Error::app(what);
}

// A press at `point` (in the toolkit's points) as the X server reports it: in device pixels, at `at`.
PointerPress pressAt(QPoint point, double at)
{
    const qreal ratio = qGuiApp->devicePixelRatio();
    return {QPoint(qRound(point.x() * ratio), qRound(point.y() * ratio)), at, std::nullopt};
}

// A moment strictly after the card was last shown, on the clock presses are stamped with.
double after(const Model& model)
{
    return std::max(Clock::uptime(), model.shownAt() + 0.001);
}

class Checks
{
public:
    Checks()
        : m_delegate(AppDelegate::Backends{})
    {}

    Outcome<void> run()
    {
        if (const Outcome<void> shown = show(); !shown) {
            return shown;
        }
        const QRect frame = panel()->frameGeometry();
        const QPoint outside = frame.topRight() + QPoint(40, 0);

        // The selection's own release, stamped before or at the moment the card appeared.
        m_delegate.handlePointerDown(pressAt(outside, model().shownAt()));
        m_delegate.handlePointerDown(pressAt(outside, model().shownAt() - 0.5));
        if (const Outcome<void> open = stillOpen(QStringLiteral("a click stamped no later than the card's showing "
                                                                "closed it"));
            !open) {
            return open;
        }

        // The selection tool's drag while a capture runs (the card shows the recognising status).
        model().setCaptureInProgress(true);
        m_delegate.handlePointerDown(pressAt(outside, after(model())));
        model().setCaptureInProgress(false);
        if (const Outcome<void> open = stillOpen(QStringLiteral("a click during a capture closed the card")); !open) {
            return open;
        }

        // Within the margin around the card a press still counts as on it; beyond it, it closes the card.
        const int margin = PointerRule::margin - 1;
        m_delegate.handlePointerDown(pressAt(frame.topRight() + QPoint(margin, -margin), after(model())));
        if (const Outcome<void> open = stillOpen(QStringLiteral("a click within the card's margin closed it")); !open) {
            return open;
        }
        m_delegate.handlePointerDown(pressAt(outside, after(model())));
        if (panel()->isVisible() ||
            !EventLoop::turnUntil([this] { return !X11Window::isViewable(panel()->winId()); }, mapWait)) {
            return failed(QStringLiteral("an outside click left the unpinned card open"));
        }

        model().setPinned(true);
        if (const Outcome<void> shown = show(); !shown) {
            return shown;
        }
        m_delegate.handlePointerDown(pressAt(outside, after(model())));
        m_delegate.handlePointerDown({std::nullopt, after(model()), std::nullopt}); // the card lost the focus
        if (const Outcome<void> open = stillOpen(QStringLiteral("an outside click closed the pinned card")); !open) {
            return open;
        }
        model().setPinned(false);
        panel()->hide();
        return {};
    }

private:
    Model& model() { return m_delegate.model(); }
    FloatingPanel* panel() { return m_delegate.card().panel(); }

    Outcome<void> show()
    {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);
        // Left of the middle, so that a press right of the card is still on the screen.
        m_delegate.card().showCard(area.topLeft() + QPoint(area.width() / 4, area.height() / 4));
        if (panel() == nullptr ||
            !EventLoop::turnUntil([this] { return X11Window::isViewable(panel()->winId()); }, mapWait)) {
            return failed(QStringLiteral("the card's window is not viewable after it was shown"));
        }
        m_generation = model().generation();
        return {};
    }

    // The card is still on screen and its session was not stopped (a press that closes the card hides it at once).
    Outcome<void> stillOpen(const QString& otherwise)
    {
        if (!panel()->isVisible() || !X11Window::isViewable(panel()->winId()) || model().generation() != m_generation) {
            return failed(otherwise);
        }
        return {};
    }

    AppDelegate m_delegate;
    QUuid m_generation;
};

} // namespace

Outcome<void> run()
{
    if (!X11Window::available()) {
        return failed(QStringLiteral("needs an X11 display (the X server reports whether a window is viewable)"));
    }
    Checks checks;
    if (const Outcome<void> outcome = checks.run(); !outcome) {
        return outcome;
    }
    Console::printLine(QStringLiteral("PASS: delayed selection click, active capture, outside click, pinned window"));
    return {};
}

} // namespace quilvant::RegressionTest
