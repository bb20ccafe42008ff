#include "platform/X11Window.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QList>
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
