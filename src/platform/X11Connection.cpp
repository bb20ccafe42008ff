#include "platform/X11Connection.h"

#include <QSocketNotifier>
#include <cstdlib>

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
