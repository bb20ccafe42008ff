#include "ui/CardKeyboard.h"

#include "session/Model.h"
#include "ui/FloatingPanel.h"

#include <QEvent>
#include <QTimer>
#include <QWindow>

namespace quilvant {

CardKeyboard::CardKeyboard(FloatingPanel* panel, Model* model, std::unique_ptr<KeyboardFocus> focus)
    : QObject(panel)
    , m_panel(panel)
    , m_model(model)
    , m_focus(std::move(focus))
{
    m_panel->installEventFilter(this);
    connect(m_focus.get(), &KeyboardFocus::escapePressed, m_panel, &FloatingPanel::cancelRequested);
    if (m_model) {
        connect(m_model, &Model::pinnedChanged, this, &CardKeyboard::update);
    }
}

CardKeyboard::~CardKeyboard()
{
    m_focus->releaseEscape();
}

void CardKeyboard::takeFocus()
{
    const auto ask = [this] {
        if (m_panel->isVisible() && !m_panel->isActiveWindow()) {
            m_focus->activate(m_panel->windowHandle());
        }
    };
    // After the show has returned, so that the window's map request goes ahead of the request for the focus; and
    // once more a moment later, for a window manager that had not taken the window on yet and so let the first
    // request pass.
    QTimer::singleShot(0, this, ask);
    QTimer::singleShot(retryMs, this, ask);
    update();
}

bool CardKeyboard::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        // After the panel has taken the change in (isVisible() and isActiveWindow() say so then).
        QMetaObject::invokeMethod(this, &CardKeyboard::update, Qt::QueuedConnection);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CardKeyboard::update()
{
    const bool pinned = m_model && m_model->pinned();
    const bool wanted = m_panel->isVisible() && !pinned && !m_panel->isActiveWindow();
    if (wanted && !m_grabbed) {
        m_grabbed = m_focus->grabEscape();
    } else if (!wanted && m_grabbed) {
        m_focus->releaseEscape();
        m_grabbed = false;
    }
}

} // namespace quilvant
