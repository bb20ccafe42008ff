#include "platform/X11Connection.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>
#include <xcb/xcb_keysyms.h>

namespace quilvant {

std::unique_ptr<X11Connection> X11Connection::open()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        return nullptr;
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<X11Connection>(new X11Connection(connection, screens.data->root));
}

X11Connection::X11Connection(xcb_connection_t* connection, xcb_window_t root)
    : m_connection(connection)
    , m_root(root)
    , m_notifier(new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &X11Connection::dispatch);
}

X11Connection::~X11Connection()
{
    delete m_notifier;
    xcb_disconnect(m_connection);
}

uint16_t X11Connection::numLockMask() const
{
    constexpr xcb_keysym_t numLockSym = 0xff7f; // XK_Num_Lock
    const std::vector<xcb_keycode_t> numLock = keycodes(numLockSym);
    const XcbFreed<xcb_get_modifier_mapping_reply_t> mapping{
        xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr)};
    if (numLock.empty() || mapping.data == nullptr) {
        return 0;
    }
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mapping.data);
    const int perModifier = mapping.data->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            const xcb_keycode_t code = codes[modifier * perModifier + i];
            if (code != 0 && std::find(numLock.begin(), numLock.end(), code) != numLock.end()) {
                return static_cast<uint16_t>(1U << modifier);
            }
        }
    }
    return 0;
}

std::vector<xcb_keycode_t> X11Connection::keycodes(xcb_keysym_t keysym) const
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(m_connection);
    const XcbFreed<xcb_keycode_t> codes{xcb_key_symbols_get_keycode(symbols, keysym)};
    xcb_key_symbols_free(symbols);
    std::vector<xcb_keycode_t> found;
    for (const xcb_keycode_t* code = codes.data; code != nullptr && *code != XCB_NO_SYMBOL; ++code) {
        found.push_back(*code);
    }
    return found;
}

void X11Connection::flush()
{
    xcb_flush(m_connection);
    dispatch();
}

void X11Connection::dispatch()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        if (m_handler) {
            m_handler(*event);
        }
        std::free(event); // NOLINT(cppcoreguidelines-no-malloc): xcb allocates events with malloc
    }
    if (xcb_connection_has_error(m_connection) != 0) {
        // The server went away: stop listening rather than spin on a dead socket.
        m_notifier->setEnabled(false);
    }
}

} // namespace quilvant
