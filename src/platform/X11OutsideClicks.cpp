#include "platform/X11OutsideClicks.h"

#include "core/Clock.h"

#include <cstdlib>
#include <xcb/xinput.h>

namespace quilvant {

namespace {

constexpr uint32_t leftButton = 1;
constexpr uint32_t rightButton = 3;

} // namespace

std::unique_ptr<X11OutsideClicks> X11OutsideClicks::create(QObject* parent)
{
    std::unique_ptr<X11Connection> x = X11Connection::open();
    if (!x) {
        return nullptr;
    }
    xcb_connection_t* c = x->get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_input_id);
    if (extension == nullptr || extension->present == 0) {
        return nullptr;
    }
    const XcbFreed<xcb_input_xi_query_version_reply_t> version{
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr)};
    if (version.data == nullptr || version.data->major_version < 2 ||
        (version.data->major_version == 2 && version.data->minor_version < 2)) {
        return nullptr;
    }
    struct
    {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    const XcbFreed<xcb_generic_error_t> error{
        xcb_request_check(c, xcb_input_xi_select_events_checked(c, x->root(), 1, &mask.head))};
    if (error.data != nullptr) {
        return nullptr;
    }
    return std::unique_ptr<X11OutsideClicks>(new X11OutsideClicks(std::move(x), extension->major_opcode, parent));
}

X11OutsideClicks::X11OutsideClicks(std::unique_ptr<X11Connection> connection, uint8_t opcode, QObject* parent)
    : OutsideClicks(parent)
    , m_x(std::move(connection))
    , m_opcode(opcode)
{
    m_x->setHandler([this](const xcb_generic_event_t& event) { handle(event); });
    m_x->flush();
}

void X11OutsideClicks::handle(const xcb_generic_event_t& event)
{
    if ((event.response_type & 0x7f) != XCB_GE_GENERIC) {
        return;
    }
    const auto& raw = reinterpret_cast<const xcb_input_raw_button_press_event_t&>(event);
    if (raw.extension != m_opcode || raw.event_type != XCB_INPUT_RAW_BUTTON_PRESS ||
        (raw.detail != leftButton && raw.detail != rightButton)) {
        return;
    }
    const double at = m_clock.toUptime(raw.time, Clock::uptime());
    xcb_connection_t* c = m_x->get();
    const XcbFreed<xcb_query_pointer_reply_t> pointer{
        xcb_query_pointer_reply(c, xcb_query_pointer(c, m_x->root()), nullptr)};
    std::optional<QPoint> position;
    if (pointer.data != nullptr) {
        position = QPoint(pointer.data->root_x, pointer.data->root_y);
    }
    Q_EMIT pressed(PointerPress{position, at, raw.time});
}

} // namespace quilvant
