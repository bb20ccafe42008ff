#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <functional>
#include <memory>
#include <utility>

namespace quilvant::test {

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

// One request as the server received it.
struct RecordedRequest
{
    QByteArray method;
    QByteArray path; // the request target as sent
    HeaderList headers;
    QByteArray body;
    int connection = 0; // which accepted TCP connection carried it, counted from 1

    // The first value of header `name` (compared without case); empty when absent.
    QByteArray header(const QByteArray& name) const;
};

// A piece of a streamed body, written on its own after `delayMs` (counted from the previous piece); with
// `afterRelease` it waits for HttpsTestServer::release() instead, so a test decides when it goes out.
struct ServerChunk
{
    QByteArray bytes;
    int delayMs = 0;
    bool afterRelease = false;
};

// What the server answers. A response with chunks (or an ending other than Complete) is streamed with chunked
// transfer encoding, one write per chunk; otherwise `body` goes out at once with its Content-Length.
struct ServerResponse
{
    enum class Ending
    {
        Complete, // the body ends normally
        Hold,     // after the chunks the response stays open until HttpsTestServer::release()
        Cut,      // after the chunks the connection is closed without ending the body
    };

    int status = 200;
    HeaderList headers;
    QList<QByteArray> interimHeads; // whole 1xx heads ("HTTP/1.1 103 ...\r\n...\r\n\r\n") sent before the answer
    QByteArray body;
    QList<ServerChunk> chunks;
    Ending ending = Ending::Complete;
    bool closeConnection = false; // "Connection: close" and the connection is closed after the response
    bool silent = false;          // nothing at all goes out, not even the head: a server that hangs

    static ServerResponse json(int status, const QByteArray& body);
    // An event stream whose chunks are written `delayMs` apart.
    static ServerResponse eventStream(const QList<QByteArray>& chunks, int delayMs = 0);
};

// A loopback HTTP/1.1 server over real TLS on 127.0.0.1, running on a thread of its own, for tests of HTTPS
// clients. Its certificate comes from an authority made at start; clients trust it through caFile() (in process
// or as SSL_CERT_FILE of a child). Every request is recorded; the handler (called on the server's thread, so it
// must be thread-safe) decides the answer. Keep-alive connections are served until the client leaves.
class HttpsTestServer
{
public:
    using Handler = std::function<ServerResponse(const RecordedRequest&)>;

    HttpsTestServer();
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    // Makes the certificates (for 127.0.0.1, localhost and `hostNames`), writes them into a temporary directory
    // and starts listening on a free port. With `tunnelled` every connection first asks for a tunnel, as through
    // an HTTP proxy ("CONNECT host:port"), so that a client told to use this server as its proxy reaches it for
    // any of `hostNames`.
    bool start(const QStringList& hostNames = {}, bool tunnelled = false);
    QString errorString() const;

    quint16 port() const;
    // "https://127.0.0.1:<port>" + path.
    QUrl url(const QString& path = QStringLiteral("/")) const;
    // PEM file of the authority that signed the server's certificate.
    QString caFile() const;

    void setHandler(Handler handler);

    QList<RecordedRequest> requests() const;
    int requestCount() const;
    int connectionCount() const;       // TCP connections accepted
    int completedResponses() const;    // responses written to their end
    int abortedResponses() const;      // responses whose client left (or was cut off) before their end
    int heldResponses() const;         // responses now waiting for release()
    QList<QByteArray> tunnels() const; // the targets of the tunnels asked for, in order

    // Lets every waiting response go on: one held at a chunk sent after release goes on from there, one held at
    // its end (Hold) ends.
    void release();

private:
    class Worker;
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    QThread* m_thread = nullptr;
    Worker* m_worker = nullptr;
    QString m_error;
    QString m_caFile;
    quint16 m_port = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
};

} // namespace quilvant::test
