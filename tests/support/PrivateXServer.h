#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <sys/types.h>

namespace quilvant::test {

// An X server of the test's own (Xvfb), for tests that change what the whole display sees: several monitors,
// the compositor selection. Made before the application object; DISPLAY points at it while it lives. The
// server is stopped with the object, and also if the test process dies.
class PrivateXServer
{
public:
    // One screen that spans `monitors`, each defined as a monitor of its own (the first is primary).
    explicit PrivateXServer(const QList<QRect>& monitors);
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    // Empty when the server runs with its monitors; otherwise what went wrong.
    QString error() const { return m_error; }

private:
    pid_t m_pid = -1;
    QString m_error;
};

} // namespace quilvant::test
