#include "support/HttpClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quilvant::test {

QJsonObject SseEvent::json() const
{
    return QJsonDocument::fromJson(data).object();
}

QByteArray HttpReply::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

QString HttpReply::errorCode() const
{
    for (const SseEvent& event : events) {
        if (event.name == "error") {
            return event.json().value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toString();
        }
    }
    return QJsonDocument::fromJson(body)
        .object()
        .value(QStringLiteral("error"))
        .toObject()
        .value(QStringLiteral("code"))
        .toString();
}

QJsonObject HttpReply::done() const
{
    for (const SseEvent& event : events) {
        if (event.name == "done") {
            return event.json();
        }
    }
    return {};
}

QStringList HttpReply::deltas() const
{
    QStringList texts;
    for (const SseEvent& event : events) {
        if (event.name == "delta") {
            texts.append(event.json().value(QStringLiteral("text")).toString());
        }
    }
    return texts;
}

RawConnection::~RawConnection()
{
    close();
}

bool RawConnection::connectTo(quint16 port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_closed = false;
    m_received.clear();
    return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool RawConnection::send(QByteArrayView bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += n;
    }
    return true;
}

QByteArray RawConnection::readSome(int timeoutMs)
{
    if (m_fd < 0 || m_closed) {
        return {};
    }
    pollfd waiting{m_fd, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) <= 0) {
        return {};
    }
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        m_closed = true;
        return {};
    }
    QByteArray bytes(buffer, n);
    m_received += bytes;
    return bytes;
}

QByteArray RawConnection::readUntil(const QByteArray& marker, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_received.contains(marker) && !m_closed && !deadline.hasExpired()) {
        readSome(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return m_received;
}

bool RawConnection::readToClose(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_closed && !deadline.hasExpired()) {
        readSome(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return m_closed;
}

void RawConnection::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

QByteArray requestBytes(const HttpCall& call)
{
    QByteArray bytes = call.method + ' ' + call.path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : call.headers) {
        bytes += name + ": " + value + "\r\n";
    }
    if (!call.body.isEmpty() || call.method == "POST") {
        bytes += "Content-Length: " + QByteArray::number(call.body.size()) + "\r\n";
    }
    return bytes + "\r\n" + call.body;
}

HttpReply parseReply(const QByteArray& bytes)
{
    HttpReply reply;
    const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return reply;
    }
    const QList<QByteArray> lines = bytes.left(headEnd).split('\n');
    const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
    reply.status = statusLine.size() > 1 ? statusLine.at(1).toInt() : 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0) {
            reply.headers.append({lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
        }
    }
    QByteArray rest = bytes.mid(headEnd + 4);
    if (reply.header("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) == 0) {
        qsizetype at = 0;
        for (;;) {
            const qsizetype lineEnd = rest.indexOf("\r\n", at);
            if (lineEnd < 0) {
                break;
            }
            bool ok = false;
            const qsizetype size = rest.mid(at, lineEnd - at).toLongLong(&ok, 16);
            if (!ok || size == 0) {
                break;
            }
            reply.body += rest.mid(lineEnd + 2, size);
            at = lineEnd + 2 + size + 2;
        }
    } else {
        reply.body = rest;
    }
    SseEvent pending;
    for (const QByteArray& line : reply.body.split('\n')) {
        if (line.startsWith("event:")) {
            pending.name = line.mid(6).trimmed();
        } else if (line.startsWith("data:")) {
            pending.data += line.mid(5).trimmed();
        } else if (line.isEmpty() && !pending.data.isEmpty()) {
            reply.events.append(pending);
            pending = {};
        }
    }
    return reply;
}

HttpReply httpCall(quint16 port, const HttpCall& call, int timeoutMs)
{
    RawConnection connection;
    if (!connection.connectTo(port) || !connection.send(requestBytes(call))) {
        return {};
    }
    connection.readToClose(timeoutMs);
    return parseReply(connection.received());
}

} // namespace quilvant::test
