#include "platform/X11KeyboardFocus.h"

#include "platform/X11Window.h"

#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <optional>

namespace quilvant {

namespace {

constexpr xcb_keysym_t escapeSym = 0xff1b; // XK_Escape

} // namespace

std::unique_ptr<X11KeyboardFocus> X11KeyboardFocus::create(QObject* parent)
{
    std::unique_ptr<X11Connection> connection = X11Connection::open();
    if (!connection) {
        return nullptr;
    }
    return std::unique_ptr<X11KeyboardFocus>(new X11KeyboardFocus(std::move(connection), parent));
}

X11KeyboardFocus::X11KeyboardFocus(std::unique_ptr<X11Connection> connection, QObject* parent)
    : KeyboardFocus(parent)
    , m_x(std::move(connection))
{
    m_x->setHandler([this](const xcb_generic_event_t& event) { handle(event); });
}

X11KeyboardFocus::~X11KeyboardFocus()
{
    releaseEscape();
}

void X11KeyboardFocus::activate(QWindow* window)
{
    if (window == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    X11Window::activate(id, serverTime(id));
}

uint32_t X11KeyboardFocus::serverTime(xcb_window_t window)
{
    // Stamped on the window itself: the toolkit, which watches its windows' properties, learns the same time,
    // and its own later requests for the focus are not older than this one (the server ignores those).
    xcb_connection_t* c = m_x->get();
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
    if (m_stampAtom == XCB_ATOM_NONE) {
        const char name[] = "_QUILVANT_TIME_STAMP";
        const XcbFreed<xcb_intern_atom_reply_t> atom{
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr)};
        m_stampAtom = atom.data != nullptr ? atom.data->atom : xcb_atom_t(XCB_ATOM_WM_NAME);
    }
    // Appending nothing changes nothing but is still announced, with the server's time.
    xcb_change_property(c, XCB_PROP_MODE_APPEND, window, m_stampAtom, XCB_ATOM_STRING, 8, 0, nullptr);
    xcb_flush(c);
    std::optional<uint32_t> time;
    while (!time) {
        xcb_generic_event_t* event = xcb_wait_for_event(c);
        if (event == nullptr) {
            return XCB_CURRENT_TIME; // the server went away
        }
        const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && notify->window == window &&
            notify->atom == m_stampAtom) {
            time = notify->time;
        } else {
            handle(*event);
        }
        std::free(event); // NOLINT(cppcoreguidelines-no-malloc): xcb allocates events with malloc
    }
    const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &none);
    xcb_flush(c);
    return *time;
}

bool X11KeyboardFocus::grabEscape()
{
    if (!m_grabbedMasks.empty()) {
        return true;
    }
    xcb_connection_t* c = m_x->get();
    m_escapeCodes = m_x->keycodes(escapeSym);
    const uint16_t numLock = m_x->numLockMask();
    std::vector<uint16_t> masks;
    for (const uint16_t locks :
         {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK), numLock, uint16_t(XCB_MOD_MASK_LOCK | numLock)}) {
        if (std::find(masks.begin(), masks.end(), locks) == masks.end()) {
            masks.push_back(locks);
        }
    }
    std::vector<xcb_void_cookie_t> cookies;
    for (const xcb_keycode_t code : m_escapeCodes) {
        for (const uint16_t modifiers : masks) {
            cookies.push_back(
                xcb_grab_key_checked(c, 1, m_x->root(), modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
    }
    m_grabbedMasks = masks;
    bool refused = m_escapeCodes.empty();
    for (const xcb_void_cookie_t cookie : cookies) {
        const XcbFreed<xcb_generic_error_t> error{xcb_request_check(c, cookie)};
        refused = refused || error.data != nullptr;
    }
    if (refused) {
        releaseEscape();
        return false;
    }
    m_x->flush();
    return true;
}

void X11KeyboardFocus::releaseEscape()
{
    for (const xcb_keycode_t code : m_escapeCodes) {
        for (const uint16_t modifiers : m_grabbedMasks) {
            xcb_ungrab_key(m_x->get(), code, m_x->root(), modifiers);
        }
    }
    const bool held = !m_grabbedMasks.empty();
    m_grabbedMasks.clear();
    if (held) {
        m_x->flush();
    }
}

void X11KeyboardFocus::handle(const xcb_generic_event_t& event)
{
    if ((event.response_type & 0x7f) != XCB_KEY_PRESS || m_grabbedMasks.empty()) {
        return;
    }
    const auto& press = reinterpret_cast<const xcb_key_press_event_t&>(event);
    if (std::find(m_escapeCodes.begin(), m_escapeCodes.end(), press.detail) != m_escapeCodes.end()) {
        Q_EMIT escapePressed();
    }
}

} // namespace quilvant
