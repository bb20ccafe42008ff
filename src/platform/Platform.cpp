#include "platform/Platform.h"

#include "foundation/L.h"
#include "platform/DisplaySession.h"
#include "platform/GrimRegionReader.h"
#include "platform/PasteSelectionReader.h"
#include "platform/PortalCaptureTool.h"
#include "platform/PortalGlobalShortcut.h"
#include "platform/ProgramCaptureTool.h"
#include "platform/WlrScreencopyRegionReader.h"
#include "platform/X11GlobalShortcut.h"
#include "platform/X11KeyboardFocus.h"
#include "platform/X11OutsideClicks.h"
#include "platform/X11RegionReader.h"
#include "platform/X11SelectionReader.h"

namespace quilvant::Platform {

namespace {

std::unique_ptr<CaptureTool> toolNamed(const QString& name)
{
    if (name == QLatin1String("maim")) {
        return ProgramCaptureTool::maim();
    }
    if (name == QLatin1String("spectacle")) {
        return ProgramCaptureTool::spectacle();
    }
    if (name == QLatin1String("slurp-grim")) {
        return ProgramCaptureTool::slurpGrim();
    }
    if (name == QLatin1String("portal")) {
        return std::make_unique<PortalCaptureTool>();
    }
    return nullptr;
}

bool wlrootsDesktop(const QStringList& desktops)
{
    for (const char* wlroots : {"SWAY", "HYPRLAND", "RIVER", "WAYFIRE", "LABWC", "WLROOTS"}) {
        if (desktops.contains(QLatin1String(wlroots))) {
            return true;
        }
    }
    return false;
}

QString sessionTool()
{
    if (DisplaySession::current() != DisplaySession::Kind::Wayland) {
        return QStringLiteral("maim");
    }
    const QStringList desktops = DisplaySession::desktops();
    if (desktops.contains(QLatin1String("KDE"))) {
        return QStringLiteral("spectacle");
    }
    if (wlrootsDesktop(desktops)) {
        return QStringLiteral("slurp-grim");
    }
    return QStringLiteral("portal");
}

} // namespace

std::unique_ptr<RegionReader> regionReader()
{
    switch (DisplaySession::current()) {
    case DisplaySession::Kind::X11:
        if (auto x11 = X11RegionReader::create()) {
            return x11;
        }
        break;
    case DisplaySession::Kind::Wayland:
        if (sessionTool() == QLatin1String("slurp-grim")) {
            // The compositor's screen copy on a connection of the reader's own; grim where it is not offered.
            if (auto screencopy = WlrScreencopyRegionReader::create(std::make_unique<GrimRegionReader>())) {
                return screencopy;
            }
            return std::make_unique<GrimRegionReader>();
        }
        break;
    case DisplaySession::Kind::None:
        break;
    }
    return std::make_unique<NullRegionReader>(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
}

std::unique_ptr<RegionPicker> regionPicker()
{
    switch (DisplaySession::current()) {
    case DisplaySession::Kind::X11:
        return RegionPicker::slop();
    case DisplaySession::Kind::Wayland:
        if (sessionTool() == QLatin1String("slurp-grim")) {
            return RegionPicker::slurp();
        }
        break;
    case DisplaySession::Kind::None:
        break;
    }
    return nullptr;
}

std::unique_ptr<GlobalShortcut> globalShortcut(QObject* parent, bool shift)
{
    switch (DisplaySession::current()) {
    case DisplaySession::Kind::X11:
        if (auto x11 = X11GlobalShortcut::create(parent, shift)) {
            return x11;
        }
        break;
    case DisplaySession::Kind::Wayland:
        return std::make_unique<PortalGlobalShortcut>(parent, shift);
    case DisplaySession::Kind::None:
        break;
    }
    return std::make_unique<NullGlobalShortcut>(QStringLiteral("no display to register a shortcut with"), parent);
}

std::unique_ptr<GlobalShortcut> watchShortcut(QObject* parent)
{
    if (DisplaySession::current() == DisplaySession::Kind::Wayland) {
        return std::make_unique<PortalGlobalShortcut>(PortalGlobalShortcut::watchShortcutId,
                                                      QStringLiteral("监视区域翻译"), parent);
    }
    return globalShortcut(parent);
}

std::unique_ptr<OutsideClicks> outsideClicks(QObject* parent)
{
    if (DisplaySession::current() == DisplaySession::Kind::X11) {
        if (auto x11 = X11OutsideClicks::create(parent)) {
            return x11;
        }
    }
    return std::make_unique<FocusLossClicks>(parent);
}

std::unique_ptr<SelectionReader> selectionReader(QObject* parent)
{
    switch (DisplaySession::current()) {
    case DisplaySession::Kind::X11:
        if (auto x11 = X11SelectionReader::create(parent)) {
            return x11;
        }
        break;
    case DisplaySession::Kind::Wayland: {
        // The data-control protocol, which lets wl-paste read the primary selection without the focus, is
        // offered by the wlroots compositors and KDE; elsewhere wl-paste reaches the clipboard alone.
        const QStringList desktops = DisplaySession::desktops();
        const bool dataControl = desktops.contains(QLatin1String("KDE")) || wlrootsDesktop(desktops);
        auto paste = std::make_unique<PasteSelectionReader>(dataControl, QStringLiteral("wl-paste"), parent);
        if (paste->available()) {
            return paste;
        }
        break;
    }
    case DisplaySession::Kind::None:
        break;
    }
    return std::make_unique<NullSelectionReader>(parent);
}

std::unique_ptr<KeyboardFocus> keyboardFocus(QObject* parent)
{
    if (DisplaySession::current() == DisplaySession::Kind::X11) {
        if (auto x11 = X11KeyboardFocus::create(parent)) {
            return x11;
        }
    }
    return std::make_unique<KeyboardFocus>(parent);
}

std::unique_ptr<CaptureTool> captureTool(const QString& setting)
{
    if (auto chosen = toolNamed(setting.trimmed().toLower())) {
        return chosen;
    }
    std::unique_ptr<CaptureTool> tool = toolNamed(sessionTool());
    if (!tool->available() && tool->name() != QLatin1String("portal")) {
        auto portal = std::make_unique<PortalCaptureTool>();
        if (DisplaySession::current() == DisplaySession::Kind::Wayland && portal->available()) {
            return portal;
        }
    }
    return tool;
}

ScreenAccess screenAccess(const CaptureTool& tool)
{
    return ScreenAccess(DisplaySession::current() == DisplaySession::Kind::Wayland ? &tool : nullptr);
}

} // namespace quilvant::Platform
