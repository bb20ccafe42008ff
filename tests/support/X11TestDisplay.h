#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QStringList>
#include <cstdint>

struct xcb_connection_t;

// Driving the X display the tests run on: input through xdotool, pictures shown in windows of our own, a key
// grab held by "another program".
namespace quilvant::test::X11 {

// Runs xdotool with `arguments` on $DISPLAY; true when it succeeded.
bool xdotool(const QStringList& arguments);

// Drags a selection over `area` the way a person does, with short pauses between the steps (a selection tool
// that samples the pointer now and then sees each of them): from just outside its top left corner, by way of
// its middle, to just outside its bottom right corner.
bool dragAcross(const QRect& area);

// Defines `monitors` on the display's one screen (the first takes over the screen's output and is primary), as
// xrandr would for a desktop with several monitors; before the application object is made.
bool defineMonitors(const QList<QRect>& monitors);

// Waits until some client holds the pointer grab (a selection tool is ready for the drag), serving this
// thread's events meanwhile; false after `timeoutMs`.
bool waitForPointerGrab(int timeoutMs = 30'000);

// A window of its own, outside any window manager's control, showing `image` with its top left at `position`.
class Picture
{
public:
    Picture(const QImage& image, QPoint position);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

private:
    xcb_connection_t* m_connection;
};

// A passive grab of Alt + `letter` on the root window by a connection of its own, as another program would
// hold it; released with the object.
class ForeignKeyGrab
{
public:
    explicit ForeignKeyGrab(char letter);
    ~ForeignKeyGrab();
    ForeignKeyGrab(const ForeignKeyGrab&) = delete;
    ForeignKeyGrab& operator=(const ForeignKeyGrab&) = delete;
    bool held() const { return m_held; }

private:
    xcb_connection_t* m_connection;
    bool m_held = false;
};

// A program (xclip) that owns the X selection `selection` ("primary", "clipboard") and serves `bytes` as long
// as the object lives, as any application would.
class SelectionOwner
{
public:
    SelectionOwner(const QString& selection, const QByteArray& bytes);
    ~SelectionOwner();
    SelectionOwner(const SelectionOwner&) = delete;
    SelectionOwner& operator=(const SelectionOwner&) = delete;

private:
    QProcess m_process;
};

// The display's pixels in `area` of the root window, as a screenshot shows them.
QImage grab(const QRect& area);

// A panel with a system tray (tint2, an XEmbed tray) on the display while the object lives, its tray ready (it
// owns the tray manager's selection) or error() says why. `config` is tint2's configuration file; empty for the
// default (a dark panel along the bottom).
class TrayPanel
{
public:
    explicit TrayPanel(const QString& config = QString());
    ~TrayPanel();
    TrayPanel(const TrayPanel&) = delete;
    TrayPanel& operator=(const TrayPanel&) = delete;
    QString error() const { return m_error; }

private:
    QProcess m_process;
    QString m_error;
};

// A window manager (openbox) on the display while the object lives; started and ready, or error() says why.
class WindowManager
{
public:
    WindowManager();
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;
    QString error() const { return m_error; }

private:
    QProcess m_process;
    QString m_error;
};

} // namespace quilvant::test::X11
