#include "platform/X11GlobalShortcut.h"

#include <algorithm>
#include <cstdlib>

namespace quilvant {

namespace {

constexpr uint8_t badAccess = 10; // the error code of BadAccess

} // namespace

std::unique_ptr<X11GlobalShortcut> X11GlobalShortcut::create(QObject* parent, bool shift)
{
    std::unique_ptr<X11Connection> connection = X11Connection::open();
    if (!connection) {
        return nullptr;
    }
    const auto base = static_cast<uint16_t>(XCB_MOD_MASK_1 | (shift ? XCB_MOD_MASK_SHIFT : 0));
    return std::unique_ptr<X11GlobalShortcut>(new X11GlobalShortcut(std::move(connection), base, parent));
}

X11GlobalShortcut::X11GlobalShortcut(std::unique_ptr<X11Connection> connection, uint16_t base, QObject* parent)
    : GlobalShortcut(parent)
    , m_x(std::move(connection))
    , m_base(base)
{
    m_x->setHandler([this](const xcb_generic_event_t& event) { handle(event); });
}

X11GlobalShortcut::~X11GlobalShortcut()
{
    unregister();
}

std::vector<uint16_t> X11GlobalShortcut::modifierVariants(uint16_t numLockMask, uint16_t base)
{
    std::vector<uint16_t> variants;
    for (const uint16_t locks :
         {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK), numLockMask, uint16_t(XCB_MOD_MASK_LOCK | numLockMask)}) {
        const auto mask = static_cast<uint16_t>(base | locks);
        if (std::find(variants.begin(), variants.end(), mask) == variants.end()) {
            variants.push_back(mask);
        }
    }
    return variants;
}

void X11GlobalShortcut::registerKey(QChar letter)
{
    unregister();
    const char16_t lower = letter.toLower().unicode();
    if (lower < u'a' || lower > u'z') {
        Q_EMIT failed(QStringLiteral("Alt+%1 is not a letter key").arg(letter));
        return;
    }
    xcb_connection_t* c = m_x->get();
    const std::vector<xcb_keycode_t> keycodes = m_x->keycodes(lower);
    if (keycodes.empty()) {
        Q_EMIT failed(QStringLiteral("no key of this keyboard types %1").arg(letter));
        return;
    }

    m_numLock = m_x->numLockMask();
    std::vector<xcb_void_cookie_t> cookies;
    for (const xcb_keycode_t code : keycodes) {
        for (const uint16_t modifiers : modifierVariants(m_numLock, m_base)) {
            cookies.push_back(
                xcb_grab_key_checked(c, 1, m_x->root(), modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
    }
    m_keycodes = keycodes;
    bool taken = false;
    bool otherError = false;
    for (const xcb_void_cookie_t cookie : cookies) {
        const XcbFreed<xcb_generic_error_t> error{xcb_request_check(c, cookie)};
        if (error.data != nullptr) {
            (error.data->error_code == badAccess ? taken : otherError) = true;
        }
    }
    m_x->flush();
    if (taken || otherError) {
        unregister();
        Q_EMIT failed(taken ? QStringLiteral("%1 is grabbed by another program").arg(combination(letter))
                            : QStringLiteral("the X server refused to grab %1").arg(combination(letter)));
        return;
    }
    Q_EMIT registered();
}

QString X11GlobalShortcut::combination(QChar letter) const
{
    return ((m_base & XCB_MOD_MASK_SHIFT) != 0 ? QStringLiteral("Alt+Shift+") : QStringLiteral("Alt+")) +
           letter.toUpper();
}

void X11GlobalShortcut::unregister()
{
    if (m_keycodes.empty()) {
        return;
    }
    for (const xcb_keycode_t code : m_keycodes) {
        for (const uint16_t modifiers : modifierVariants(m_numLock, m_base)) {
            xcb_ungrab_key(m_x->get(), code, m_x->root(), modifiers);
        }
    }
    m_keycodes.clear();
    m_x->flush();
}

void X11GlobalShortcut::handle(const xcb_generic_event_t& event)
{
    if ((event.response_type & 0x7f) != XCB_KEY_PRESS) {
        return;
    }
    const auto& press = reinterpret_cast<const xcb_key_press_event_t&>(event);
    const auto ignored = static_cast<uint16_t>(XCB_MOD_MASK_LOCK | m_numLock);
    const bool exact = (press.state & 0xff & ~ignored) == m_base;
    if (exact && std::find(m_keycodes.begin(), m_keycodes.end(), press.detail) != m_keycodes.end()) {
        Q_EMIT activated();
    }
}

} // namespace quilvant
