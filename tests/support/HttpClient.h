#pragma once

#include "support/HttpsTestServer.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace quilvant::test {

// One server-sent event as it arrived: its name and its data lines joined.
struct SseEvent
{
    QByteArray name;
    QByteArray data;

    QJsonObject json() const;
};

struct HttpReply
{
    int status = 0; // 0: no answer (the connection failed or closed first)
    HeaderList headers;
    QByteArray body;        // without the chunk framing
    QList<SseEvent> events; // the body read as an event stream

    QByteArray header(const QByteArray& name) const;
    // The error code the answer carries: of its JSON error body, or of its "error" event; empty when none.
    QString errorCode() const;
    // The payload of the "done" event; empty when there is none.
    QJsonObject done() const;
    // The texts of the "delta" events, in order.
    QStringList deltas() const;
};

struct HttpCall
{
    QByteArray method = "POST";
    QByteArray path;
    HeaderList headers;
    QByteArray body;
};

// A plain-HTTP client connection on 127.0.0.1 under the test's control, on blocking POSIX sockets (usable from
// any thread). Every wait has a deadline.
class RawConnection
{
public:
    RawConnection() = default;
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connectTo(quint16 port);
    bool send(QByteArrayView bytes);
    // What arrives within `timeoutMs` (at most one read); empty when nothing came or the peer closed.
    QByteArray readSome(int timeoutMs);
    // Reads until `marker` has arrived, the peer closed, or `timeoutMs` passed; returns all read so far.
    QByteArray readUntil(const QByteArray& marker, int timeoutMs);
    // Reads (and keeps) everything until the peer closes; false when it did not close within `timeoutMs`.
    bool readToClose(int timeoutMs);
    bool peerClosed() const { return m_closed; }
    const QByteArray& received() const { return m_received; }
    void close();

private:
    int m_fd = -1;
    bool m_closed = false;
    QByteArray m_received;
};

// The request as the service reads it: method, path, Host, Content-Length, "Connection: close", then `call`'s
// own headers and body.
QByteArray requestBytes(const HttpCall& call);
// Parses a whole answer read to the end of its connection.
HttpReply parseReply(const QByteArray& bytes);

// Sends `call` on a new connection and reads the answer to the end.
HttpReply httpCall(quint16 port, const HttpCall& call, int timeoutMs = 90'000);

} // namespace quilvant::test
