#pragma once

#include <QImage>
#include <QPoint>
#include <QStringList>
#include <cstdint>

struct xcb_connection_t;

// Driving the X display the tests run on: input through xdotool, pictures shown in windows of our own, a key
// grab held by "another program".
namespace quilvant::test::X11 {

// Runs xdotool with `arguments` on $DISPLAY; true when it succeeded.
bool xdotool(const QStringList& arguments);

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

} // namespace quilvant::test::X11
