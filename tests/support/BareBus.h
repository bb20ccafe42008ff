#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace quilvant::test {

class Sandbox;

// A session bus of our own without the secrets service, and without service files that could start one (so
// nothing, not even a keyring's unlock prompt, can be started on it by activation).
class BareBus
{
public:
    BareBus();
    ~BareBus();
    BareBus(const BareBus&) = delete;
    BareBus& operator=(const BareBus&) = delete;

    const QString& address() const { return m_address; }

    // Starts an unlocked keyring of its own on this bus, storing its files in `sandbox`, and points the
    // sandbox's programs at this bus. False when it did not come up.
    bool startKeyring(Sandbox& sandbox);

    // Locks the keyring's default collection, as a person locking the keyring would; false when refused.
    bool lockDefaultCollection() const;

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_keyring;
    QString m_address;
};

} // namespace quilvant::test
