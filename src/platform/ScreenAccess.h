#pragma once

namespace quilvant {

class CaptureTool;

// Whether the program may capture the screen, and how it asks for that. On X11 every client may; on Wayland
// it may when a capture tool can be used here (the portal asks the person itself at each capture).
class ScreenAccess
{
public:
    // `tool` must outlive this object; without one, access is granted (X11).
    explicit ScreenAccess(const CaptureTool* tool = nullptr)
        : m_tool(tool)
    {}

    bool granted() const;
    // Asks the system for access where it can be asked for; nothing to ask on X11 and Wayland.
    void request() const {}

private:
    const CaptureTool* m_tool;
};

} // namespace quilvant
