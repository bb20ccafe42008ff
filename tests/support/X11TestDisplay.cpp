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

// Waits until some client owns the selection `name` while `process` runs.
bool waitForSelection(const QByteArray& name, const QProcess& process)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr);
    QElapsedTimer elapsed;
    elapsed.start();
    bool owned = false;
    while (atom != nullptr && !owned && elapsed.elapsed() < 30'000 && process.state() == QProcess::Running) {
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
        owned = owner != nullptr && owner->owner != XCB_NONE;
        std::free(owner);
        if (!owned) {
            QThread::msleep(20);
        }
    }
    std::free(atom);
    xcb_disconnect(c);
    return owned;
}

void stop(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(10'000)) {
            process.kill();
            process.waitForFinished();
        }
    }
}

} // namespace

QImage grab(const QRect& area)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = screenOf(c);
    xcb_get_image_reply_t* reply =
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<int16_t>(area.x()),
                                          static_cast<int16_t>(area.y()), static_cast<uint16_t>(area.width()),
                                          static_cast<uint16_t>(area.height()), ~0U),
                            nullptr);
    QImage image;
    // A 24-bit screen's pixels come as 32-bit words, the top byte unused.
    if (reply != nullptr && reply->depth == 24 &&
        xcb_get_image_data_length(reply) >= area.width() * area.height() * 4) {
        image = QImage(xcb_get_image_data(reply), area.width(), area.height(), area.width() * 4, QImage::Format_RGB32)
                    .copy();
    }
    std::free(reply);
    xcb_disconnect(c);
    return image;
}

TrayPanel::TrayPanel(const QString& config)
{
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("tint2"),
                    config.isEmpty() ? QStringList() : QStringList{QStringLiteral("-c"), config});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("tint2 did not start: ") + m_process.errorString();
    } else if (!waitForSelection("_NET_SYSTEM_TRAY_S0", m_process)) {
        m_error = QStringLiteral("tint2 did not take the tray");
    }
}

TrayPanel::~TrayPanel()
{
    stop(m_process);
}

bool xdotool(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

bool dragAcross(const QRect& area)
{
    const auto point = [](QPoint at) { return QStringList{QString::number(at.x()), QString::number(at.y())}; };
    const QStringList pause{QStringLiteral("sleep"), QStringLiteral("0.1")};
    return xdotool(QStringList{QStringLiteral("mousemove")} + point(area.topLeft() - QPoint(5, 5)) + pause +
                   QStringList{QStringLiteral("mousedown"), QStringLiteral("1")} + pause +
                   QStringList{QStringLiteral("mousemove")} + point(area.center()) + pause +
                   QStringList{QStringLiteral("mousemove")} + point(area.bottomRight() + QPoint(5, 5)) + pause +
                   QStringList{QStringLiteral("mouseup"), QStringLiteral("1")});
}

bool defineMonitors(const QList<QRect>& monitors)
{
    for (qsizetype i = 0; i < monitors.size(); ++i) {
        const QRect& m = monitors[i];
        // The first monitor takes over the server's only output, so that no monitor spans the whole screen.
        const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+%6")
                                     .arg(m.width())
                                     .arg(m.width() / 4)
                                     .arg(m.height())
                                     .arg(m.height() / 4)
                                     .arg(m.x())
                                     .arg(m.y());
        const QString output = i == 0 ? QStringLiteral("screen") : QStringLiteral("none");
        if (QProcess::execute(QStringLiteral("xrandr"),
                              {QStringLiteral("--setmonitor"), QStringLiteral("M%1").arg(i), geometry, output}) != 0) {
            return false;
        }
    }
    return true;
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
    // Let go and wait for the server to have done so: a disconnect alone is handled whenever the server gets to it,
    // and the next grab of the same key may come first.
    xcb_ungrab_key(m_connection, XCB_GRAB_ANY, screenOf(m_connection)->root, XCB_MOD_MASK_ANY);
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    xcb_disconnect(m_connection);
}

WindowManager::WindowManager()
{
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    // --replace: ready once it owns the window manager selection, which is what is waited for below.
    m_process.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable"), QStringLiteral("--replace")});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("openbox did not start: ") + m_process.errorString();
        return;
    }
    const bool owned = waitForSelection("WM_S0", m_process);
    if (!owned) {
        m_error = QStringLiteral("openbox did not take over the display");
    }
}

WindowManager::~WindowManager()
{
    stop(m_process);
}

SelectionOwner::SelectionOwner(const QString& selection, const QByteArray& bytes)
{
    m_process.start(QStringLiteral("xclip"),
                    {QStringLiteral("-quiet"), QStringLiteral("-selection"), selection, QStringLiteral("-i")});
    m_process.write(bytes);
    m_process.closeWriteChannel();
    // It says so once it owns the selection.
    while (!m_process.readAllStandardError().contains("Waiting") && m_process.waitForReadyRead(5000)) {
    }
}

SelectionOwner::~SelectionOwner()
{
    m_process.kill();
    m_process.waitForFinished();
}

} // namespace quilvant::test::X11
