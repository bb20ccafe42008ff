#pragma once

#include "core/Outcome.h"

#include <QProcess>
#include <QSize>
#include <QString>
#include <QTemporaryDir>

namespace quilvant::test {

// A headless wlroots compositor (sway) with a runtime directory of its own, of one output of `size`. The
// compositor refuses to run as root, so under root it runs as nobody.
class HeadlessCompositor
{
public:
    static constexpr QSize size{1280, 720};

    ~HeadlessCompositor();

    // The Wayland socket's path, or the reason the compositor could not be started.
    Outcome<QString> start();
    // Shows `image` as the desktop's background, in place of the one shown before.
    bool showBackground(const QString& image);
    // Ends the compositor (and the background), as a desktop that goes away.
    void stop();
    // The compositor's process id (0 when it does not run).
    qint64 processId() const { return m_sway.processId(); }

private:
    // Under /tmp: nobody must reach the runtime directory, and the test's own temporary folder is private.
    QTemporaryDir m_dir{QStringLiteral("/tmp/quilvant-compositor-XXXXXX")};
    QProcess m_sway;
    QProcess m_background;
};

} // namespace quilvant::test
