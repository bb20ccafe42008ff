#pragma once

#include "platform/GlobalShortcut.h"
#include "platform/X11Connection.h"

#include <memory>
#include <vector>

namespace quilvant {

// Alt + a letter on X11 (or Alt + Shift + the letter): a passive grab of the key with Mod1 on the root window,
// also with the Caps Lock and Num Lock masks so that the combination works whatever the lock keys say. A
// combination another client has grabbed already (the server answers BadAccess) fails.
class X11GlobalShortcut final : public GlobalShortcut
{
    Q_OBJECT

public:
    // nullptr without an X display. With `shift`, the combination is Alt + Shift + the letter.
    static std::unique_ptr<X11GlobalShortcut> create(QObject* parent = nullptr, bool shift = false);
    ~X11GlobalShortcut() override;

    void registerKey(QChar letter) override;
    void unregister() override;

    // The modifier sets grabbed for one key: `base` (Alt, or Alt + Shift) alone and with every combination of
    // the lock masks.
    static std::vector<uint16_t> modifierVariants(uint16_t numLockMask, uint16_t base = XCB_MOD_MASK_1);

private:
    X11GlobalShortcut(std::unique_ptr<X11Connection> connection, uint16_t base, QObject* parent);
    QString combination(QChar letter) const;
    void handle(const xcb_generic_event_t& event);

    std::unique_ptr<X11Connection> m_x;
    std::vector<xcb_keycode_t> m_keycodes;
    uint16_t m_numLock = 0;
    uint16_t m_base;
};

} // namespace quilvant
