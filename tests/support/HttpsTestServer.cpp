#include "support/HttpsTestServer.h"

#include "support/TestCertificates.h"

#include <QFile>
#include <QHash>
#include <QMetaObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <mutex>

namespace quilvant::test {

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

ServerResponse ServerResponse::json(int status, const QByteArray& body)
{
    ServerResponse response;
    response.status = status;
    response.headers = {{"Content-Type", "application/json"}};
    response.body = body;
    return response;
}

ServerResponse ServerResponse::eventStream(const QList<QByteArray>& chunks, int delayMs)
{
    ServerResponse response;
    response.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}};
    for (const QByteArray& chunk : chunks) {
        response.chunks.append(ServerChunk{chunk, delayMs});
    }
    return response;
}

struct HttpsTestServer::Shared
{
    mutable std::mutex mutex;
    Handler handler;
    QList<RecordedRequest> requests;
    int connections = 0;
    int completed = 0;
    int aborted = 0;
    int held = 0;
    QList<QByteArray> tunnels;
};

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

// Lives on the server thread; owns the sockets and their per-connection state.
class HttpsTestServer::Worker : public QTcpServer
{
public:
    Worker(std::shared_ptr<Shared> shared, QSslConfiguration tls, bool tunnelled)
        : m_shared(std::move(shared))
        , m_tls(std::move(tls))
        , m_tunnelled(tunnelled)
    {}

    void releaseHeld()
    {
        const auto all = m_connections;
        for (const auto& connection : all) {
            if (connection->held) {
                connection->held = false;
                {
                    std::lock_guard lock(m_shared->mutex);
                    --m_shared->held;
                }
                if (connection->heldAt >= 0) {
                    writeChunk(connection, std::exchange(connection->heldAt, -1));
                } else {
                    finishBody(connection);
                }
            }
        }
    }

    void closeAll()
    {
        close();
        const auto all = m_connections;
        for (const auto& connection : all) {
            connection->socket->abort();
        }
        m_connections.clear();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // Each chunk goes out when written: Nagle's algorithm would hold small writes for the client's delayed
        // acknowledgement (about 40 ms), which timing checks would then measure instead of the client.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        {
            std::lock_guard lock(m_shared->mutex);
            connection->number = ++m_shared->connections;
        }
        m_connections.insert(socket, connection);
        socket->setSslConfiguration(m_tls);
        connection->tunnelPending = m_tunnelled;
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, connection] { readRequests(connection); });
        QObject::connect(socket, &QSslSocket::disconnected, socket, [this, connection] { dropped(connection); });
        QObject::connect(socket, &QSslSocket::errorOccurred, socket, [this, connection](QAbstractSocket::SocketError) {
            if (connection->socket->state() != QAbstractSocket::ConnectedState) {
                dropped(connection);
            }
        });
        if (!m_tunnelled) {
            socket->startServerEncryption();
        }
    }

private:
    struct Connection
    {
        QSslSocket* socket = nullptr;
        int number = 0;
        QByteArray input;
        bool responding = false;
        bool held = false;
        bool gone = false;
        bool headRequest = false;
        bool tunnelPending = false; // the plain "CONNECT" that comes before the TLS handshake
        qsizetype heldAt = -1;      // the chunk waiting for release()
        ServerResponse response;
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    void readRequests(const ConnectionPtr& connection)
    {
        connection->input += connection->socket->readAll();
        if (connection->tunnelPending) {
            const qsizetype headEnd = connection->input.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                return;
            }
            const QList<QByteArray> requestLine =
                connection->input.left(headEnd).split('\n').value(0).trimmed().split(' ');
            {
                std::lock_guard lock(m_shared->mutex);
                m_shared->tunnels.append(requestLine.value(1));
            }
            connection->input.clear();
            connection->tunnelPending = false;
            write(connection, "HTTP/1.1 200 Connection established\r\n\r\n");
            connection->socket->startServerEncryption();
            return;
        }
        while (!connection->responding && !connection->gone) {
            const qsizetype headEnd = connection->input.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                return;
            }
            const QList<QByteArray> lines = connection->input.left(headEnd).split('\n');
            RecordedRequest request;
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            request.method = requestLine.value(0);
            request.path = requestLine.value(1);
            request.connection = connection->number;
            qsizetype length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0) {
                    continue;
                }
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            length = request.header("Content-Length").toLongLong();
            if (connection->input.size() < headEnd + 4 + length) {
                return;
            }
            request.body = connection->input.mid(headEnd + 4, length);
            connection->input.remove(0, headEnd + 4 + length);
            respond(connection, request);
        }
    }

    void respond(const ConnectionPtr& connection, const RecordedRequest& request)
    {
        Handler handler;
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->requests.append(request);
            handler = m_shared->handler;
        }
        ServerResponse response = handler ? handler(request) : ServerResponse::json(404, "{}");
        connection->responding = true;
        connection->headRequest = request.method == "HEAD";
        const bool streamed = !response.chunks.isEmpty() || response.ending != ServerResponse::Ending::Complete;
        if (streamed && !response.body.isEmpty()) {
            response.chunks.prepend(ServerChunk{response.body, 0});
            response.body.clear();
        }

        if (response.silent) {
            connection->response = std::move(response);
            return; // until the client leaves
        }
        QByteArray head = response.interimHeads.join();
        head += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
        for (const auto& [key, value] : response.headers) {
            head += key + ": " + value + "\r\n";
        }
        if (streamed) {
            head += "Transfer-Encoding: chunked\r\n";
        } else {
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        }
        if (response.closeConnection) {
            head += "Connection: close\r\n";
        }
        head += "\r\n";
        connection->response = std::move(response);
        write(connection, head);
        if (connection->headRequest) {
            complete(connection);
        } else if (!streamed) {
            write(connection, connection->response.body);
            complete(connection);
        } else {
            sendChunk(connection, 0);
        }
    }

    void sendChunk(const ConnectionPtr& connection, qsizetype index)
    {
        if (connection->gone) {
            return;
        }
        const QList<ServerChunk>& chunks = connection->response.chunks;
        if (index >= chunks.size()) {
            switch (connection->response.ending) {
            case ServerResponse::Ending::Complete:
                finishBody(connection);
                break;
            case ServerResponse::Ending::Hold: {
                connection->held = true;
                std::lock_guard lock(m_shared->mutex);
                ++m_shared->held;
                break;
            }
            case ServerResponse::Ending::Cut:
                // Cut by the server on purpose: not counted as the client leaving.
                connection->responding = false;
                connection->socket->flush();
                connection->socket->abort();
                dropped(connection);
                break;
            }
            return;
        }
        if (chunks[index].afterRelease) {
            connection->held = true;
            connection->heldAt = index;
            std::lock_guard lock(m_shared->mutex);
            ++m_shared->held;
            return;
        }
        const int delay = chunks[index].delayMs;
        if (delay > 0) {
            QTimer::singleShot(delay, connection->socket, [this, connection, index] { writeChunk(connection, index); });
        } else {
            writeChunk(connection, index);
        }
    }

    void writeChunk(const ConnectionPtr& connection, qsizetype index)
    {
        if (connection->gone) {
            return;
        }
        const QByteArray& bytes = connection->response.chunks[index].bytes;
        if (!bytes.isEmpty()) {
            write(connection, QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
        }
        sendChunk(connection, index + 1);
    }

    void finishBody(const ConnectionPtr& connection)
    {
        if (connection->gone) {
            return;
        }
        write(connection, "0\r\n\r\n");
        complete(connection);
    }

    void complete(const ConnectionPtr& connection)
    {
        {
            std::lock_guard lock(m_shared->mutex);
            ++m_shared->completed;
        }
        connection->responding = false;
        if (connection->response.closeConnection) {
            connection->gone = true;
            connection->socket->disconnectFromHost();
            return;
        }
        if (!connection->input.isEmpty()) {
            QTimer::singleShot(0, connection->socket, [this, connection] { readRequests(connection); });
        }
    }

    void write(const ConnectionPtr& connection, const QByteArray& bytes)
    {
        connection->socket->write(bytes);
        connection->socket->flush();
    }

    // The connection ended: a response still in progress counts as left by the client.
    void dropped(const ConnectionPtr& connection)
    {
        if (!m_connections.contains(connection->socket)) {
            return;
        }
        {
            std::lock_guard lock(m_shared->mutex);
            if (connection->responding) {
                ++m_shared->aborted;
            }
            if (connection->held) {
                --m_shared->held;
            }
        }
        connection->responding = false;
        connection->held = false;
        connection->gone = true;
        m_connections.remove(connection->socket);
        connection->socket->deleteLater();
    }

    std::shared_ptr<Shared> m_shared;
    QSslConfiguration m_tls;
    bool m_tunnelled = false;
    QHash<QSslSocket*, ConnectionPtr> m_connections;
};

HttpsTestServer::HttpsTestServer()
    : m_shared(std::make_shared<Shared>())
{}

HttpsTestServer::~HttpsTestServer()
{
    if (m_thread != nullptr) {
        QMetaObject::invokeMethod(
            m_worker,
            [worker = m_worker] {
                worker->closeAll();
                delete worker;
            },
            Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
    }
}

bool HttpsTestServer::start(const QStringList& hostNames, bool tunnelled)
{
    QString error;
    const TestCertificates certificates = TestCertificates::generate(&error, hostNames);
    if (certificates.caPem.isEmpty()) {
        m_error = QStringLiteral("certificate generation failed: ") + error;
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    m_caFile = m_dir->filePath(QStringLiteral("ca.pem"));
    QFile ca(m_caFile);
    if (!ca.open(QIODevice::WriteOnly) || ca.write(certificates.caPem) != certificates.caPem.size()) {
        m_error = QStringLiteral("cannot write ") + m_caFile;
        return false;
    }
    ca.close();

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(certificates.serverPem, QSsl::Pem));
    tls.setPrivateKey(QSslKey(certificates.serverKeyPem, QSsl::Ec, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    if (tls.privateKey().isNull() || tls.localCertificate().isNull()) {
        m_error = QStringLiteral("Qt could not load the generated certificate");
        return false;
    }

    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("https-test-server"));
    m_worker = new Worker(m_shared, tls, tunnelled);
    m_worker->moveToThread(m_thread);
    m_thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(
        m_worker,
        [this, &listening] {
            listening = m_worker->listen(QHostAddress::LocalHost, 0);
            m_port = m_worker->serverPort();
            if (!listening) {
                m_error = m_worker->errorString();
            }
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

QString HttpsTestServer::errorString() const
{
    return m_error;
}

quint16 HttpsTestServer::port() const
{
    return m_port;
}

QUrl HttpsTestServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path));
}

QString HttpsTestServer::caFile() const
{
    return m_caFile;
}

void HttpsTestServer::setHandler(Handler handler)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->handler = std::move(handler);
}

QList<RecordedRequest> HttpsTestServer::requests() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->requests;
}

int HttpsTestServer::requestCount() const
{
    std::lock_guard lock(m_shared->mutex);
    return static_cast<int>(m_shared->requests.size());
}

int HttpsTestServer::connectionCount() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->connections;
}

int HttpsTestServer::completedResponses() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->completed;
}

int HttpsTestServer::abortedResponses() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->aborted;
}

QList<QByteArray> HttpsTestServer::tunnels() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->tunnels;
}

int HttpsTestServer::heldResponses() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->held;
}

void HttpsTestServer::release()
{
    if (m_worker != nullptr) {
        QMetaObject::invokeMethod(
            m_worker, [worker = m_worker] { worker->releaseHeld(); }, Qt::QueuedConnection);
    }
}

} // namespace quilvant::test
