#pragma once

#include <QObject>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>
#include <xcb/xcb.h>

class QSocketNotifier;

namespace quilvant {

// Frees what xcb allocated (replies, errors, keycode lists) at the end of the scope.
template <typename T>
struct XcbFreed
{
    T* data;
    ~XcbFreed() { std::free(data); } // NOLINT(cppcoreguidelines-no-malloc): xcb allocates with malloc
};

// A connection of our own to the X server, separate from the toolkit's, whose events are handed to one handler
// as they arrive on the GUI thread's event loop.
class X11Connection final : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const xcb_generic_event_t&)>;

    // A connection to $DISPLAY; nullptr when there is none.
    static std::unique_ptr<X11Connection> open();
    ~X11Connection() override;

    xcb_connection_t* get() const { return m_connection; }
    xcb_window_t root() const { return m_root; }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // The modifier bit that Num Lock sets on this keyboard (0 when no modifier carries it).
    uint16_t numLockMask() const;
    // The key codes that type `keysym` (none on a keyboard without it).
    std::vector<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const;

    // Sends what is buffered and hands out the events that came meanwhile (they may have been read while a
    // reply was awaited, without the socket waking us).
    void flush();

private:
    X11Connection(xcb_connection_t* connection, xcb_window_t root);
    void dispatch();

    xcb_connection_t* m_connection;
    xcb_window_t m_root;
    QSocketNotifier* m_notifier = nullptr;
    Handler m_handler;
};

} // namespace quilvant
