#include "platform/X11Window.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QList>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace quilvant::X11Window {

namespace {

struct FreeReply
{
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_connection_t* connection()
{
    auto* application = qGuiApp;
    if (application == nullptr) {
        return nullptr;
    }
    auto* x11 = application->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    const Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(qstrlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

int defaultScreenNumber()
{
    // DISPLAY is host:display.screen; the screen part is optional.
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.indexOf('.', colon < 0 ? 0 : colon);
    if (dot < 0) {
        return 0;
    }
    bool ok = false;
    const int number = display.mid(dot + 1).toInt(&ok);
    return ok ? number : 0;
}

} // namespace

bool available()
{
    return connection() != nullptr;
}

bool compositorRunning()
{
    xcb_connection_t* c = connection();
    if (c == nullptr) {
        return true;
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(defaultScreenNumber());
    const xcb_atom_t selection = atom(c, name.constData());
    if (selection == XCB_ATOM_NONE) {
        return false;
    }
    const Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}

void prepareFloatingPanel(WId id)
{
    xcb_connection_t* c = connection();
    if (c == nullptr || id == 0) {
        return;
    }
    const auto window = static_cast<xcb_window_t>(id);
    const xcb_atom_t stateAtom = atom(c, "_NET_WM_STATE");
    // Added to whatever states the toolkit has put there; it merges its own with these again when it maps.
    QList<xcb_atom_t> states;
    const Reply<xcb_get_property_reply_t> current(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, stateAtom, XCB_ATOM_ATOM, 0, 64), nullptr));
    if (current && current->format == 32 && current->type == XCB_ATOM_ATOM) {
        const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(current.get()));
        const int count = xcb_get_property_value_length(current.get()) / 4;
        for (int i = 0; i < count; ++i) {
            states.append(values[i]);
        }
    }
    for (const char* name : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        const xcb_atom_t state = atom(c, name);
        if (!states.contains(state)) {
            states.append(state);
        }
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, stateAtom, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(states.size()), states.constData());
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                        &allDesktops);
    xcb_flush(c);
}

bool isViewable(WId id)
{
    xcb_connection_t* c = connection();
    if (c == nullptr || id == 0) {
        return false;
    }
    const Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, static_cast<xcb_window_t>(id)), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

namespace {

// The window manager says it supports `feature` (in _NET_SUPPORTED on the root window).
bool supported(xcb_connection_t* c, xcb_window_t root, xcb_atom_t feature)
{
    const Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, atom(c, "_NET_SUPPORTED"), XCB_ATOM_ATOM, 0, 1024), nullptr));
    if (!list || list->format != 32 || list->type != XCB_ATOM_ATOM) {
        return false;
    }
    const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(list.get()));
    const int count = xcb_get_property_value_length(list.get()) / 4;
    return std::find(values, values + count, feature) != values + count;
}

// A window manager runs: the window named by _NET_SUPPORTING_WM_CHECK on the root window exists. A manager that
// went away leaves its _NET_SUPPORTED behind.
bool managerRunning(xcb_connection_t* c, xcb_window_t root)
{
    const xcb_atom_t check = atom(c, "_NET_SUPPORTING_WM_CHECK");
    const Reply<xcb_get_property_reply_t> named(
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!named || named->format != 32 || xcb_get_property_value_length(named.get()) != 4) {
        return false;
    }
    const xcb_window_t child = *static_cast<const xcb_window_t*>(xcb_get_property_value(named.get()));
    const Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, child), nullptr));
    return attributes != nullptr;
}

} // namespace

void activate(WId id, uint32_t time)
{
    xcb_connection_t* c = connection();
    if (c == nullptr || id == 0) {
        return;
    }
    const auto window = static_cast<xcb_window_t>(id);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_atom_t activeWindow = atom(c, "_NET_ACTIVE_WINDOW");
    if (!managerRunning(c, root) || !supported(c, root, activeWindow)) {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, time);
        xcb_flush(c);
        return;
    }
    // Shown without taking the focus, the window says the person has not used it yet (user time 0); a manager
    // that weighs the request against that learns of the request's moment here.
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "_NET_WM_USER_TIME"), XCB_ATOM_CARDINAL, 32, 1,
                        &time);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = activeWindow;
    message.data.data32[0] = 1; // from an application
    message.data.data32[1] = time;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
}

void releaseInputFocus()
{
    xcb_connection_t* c = connection();
    if (c == nullptr) {
        return;
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
    xcb_flush(c);
}

} // namespace quilvant::X11Window
