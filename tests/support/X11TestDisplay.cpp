#include "support/X11TestDisplay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace quilvant::test::X11 {

namespace {

xcb_screen_t* screenOf(xcb_connection_t* connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
}

} // namespace

bool xdotool(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

bool waitForPointerGrab(int timeoutMs)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = screenOf(c)->root;
    QElapsedTimer elapsed;
    elapsed.start();
    bool grabbed = false;
    while (!grabbed && elapsed.elapsed() < timeoutMs) {
        xcb_grab_pointer_reply_t* reply =
            xcb_grab_pointer_reply(c,
                                   xcb_grab_pointer(c, 0, root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE,
                                                    XCB_NONE, XCB_CURRENT_TIME),
                                   nullptr);
        grabbed = reply != nullptr && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply != nullptr && reply->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
            xcb_flush(c);
        }
        std::free(reply);
        if (!grabbed) {
            // The tool may still have to be started from this thread's event loop.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(20);
        }
    }
    xcb_disconnect(c);
    return grabbed;
}

Picture::Picture(const QImage& image, QPoint position)
    : m_connection(xcb_connect(nullptr, nullptr))
{
    xcb_screen_t* screen = screenOf(m_connection);
    const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
    const auto width = static_cast<uint16_t>(pixels.width());
    const auto height = static_cast<uint16_t>(pixels.height());

    const xcb_pixmap_t pixmap = xcb_generate_id(m_connection);
    xcb_create_pixmap(m_connection, screen->root_depth, pixmap, screen->root, width, height);
    const xcb_gcontext_t gc = xcb_generate_id(m_connection);
    xcb_create_gc(m_connection, gc, pixmap, 0, nullptr);
    // In strips, to stay below the largest request the server takes.
    const int rowsPerStrip = std::max(1, 60'000 / static_cast<int>(pixels.bytesPerLine()));
    for (int top = 0; top < height; top += rowsPerStrip) {
        const int rows = std::min(rowsPerStrip, height - top);
        xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, width, static_cast<uint16_t>(rows), 0,
                      static_cast<int16_t>(top), 0, screen->root_depth,
                      static_cast<uint32_t>(pixels.bytesPerLine() * rows), pixels.constScanLine(top));
    }

    const xcb_window_t window = xcb_generate_id(m_connection);
    const uint32_t values[] = {pixmap, 1};
    xcb_create_window(m_connection, screen->root_depth, window, screen->root, static_cast<int16_t>(position.x()),
                      static_cast<int16_t>(position.y()), width, height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(m_connection, window);
    // Answered only after the server has handled everything before it: the picture is on screen.
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

Picture::~Picture()
{
    xcb_disconnect(m_connection);
}

ForeignKeyGrab::ForeignKeyGrab(char letter)
    : m_connection(xcb_connect(nullptr, nullptr))
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(m_connection);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, static_cast<xcb_keysym_t>(letter));
    xcb_key_symbols_free(symbols);
    if (codes != nullptr && codes[0] != XCB_NO_SYMBOL) {
        xcb_generic_error_t* error = xcb_request_check(
            m_connection, xcb_grab_key_checked(m_connection, 1, screenOf(m_connection)->root, XCB_MOD_MASK_1, codes[0],
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        m_held = error == nullptr;
        std::free(error);
    }
    std::free(codes);
}

ForeignKeyGrab::~ForeignKeyGrab()
{
    xcb_disconnect(m_connection);
}

} // namespace quilvant::test::X11
