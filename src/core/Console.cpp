#include "core/Console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace quilvant::Console {

namespace {

bool isControl(char32_t c)
{
    return (c < 0x20 && c != u'\n' && c != u'\t') || (c >= 0x7f && c <= 0x9f);
}

struct OutputState
{
    std::mutex lock;
    QString error;
};

OutputState& output()
{
    static OutputState state;
    return state;
}

// The length of the well-formed UTF-8 sequence at `at` (1 to 4 bytes), 0 when there is none.
qsizetype sequenceAt(const QByteArray& bytes, qsizetype at, char32_t* decoded)
{
    const auto byte = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes.at(i)); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        *decoded = lead;
        return 1;
    }
    qsizetype length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xe0) == 0xc0) {
        length = 2, value = lead & 0x1f, smallest = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, value = lead & 0x0f, smallest = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (qsizetype i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(at + i) & 0x3f);
    }
    if (value < smallest || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
        return 0;
    }
    *decoded = value;
    return length;
}

} // namespace

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

void print(const QString& text)
{
    std::fflush(stdout);
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    if (writeAll(STDOUT_FILENO, (terminal ? cleaned(text) : text).toUtf8())) {
        return;
    }
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    OutputState& state = output();
    const std::lock_guard guard(state.lock);
    if (state.error.isEmpty()) {
        state.error = reason;
    }
}

void printLine(const QString& line)
{
    print(line + QLatin1Char('\n'));
}

QString outputError()
{
    OutputState& state = output();
    const std::lock_guard guard(state.lock);
    return state.error;
}

void printFailure(const QString& prefix, const QString& description)
{
    printToError(prefix + description + QLatin1Char('\n'));
}

void printToError(const QString& text)
{
    std::fflush(stderr);
    writeAll(STDERR_FILENO, cleaned(text).toUtf8());
}

QString cleaned(const QString& text)
{
    QString shown = text;
    for (QChar& c : shown) {
        if (isControl(c.unicode())) {
            c = QChar::ReplacementCharacter;
        }
    }
    return shown;
}

QString shownName(const QByteArray& name)
{
    QString shown;
    const auto escape = [&shown](const QByteArray& bytes) {
        for (const char byte : bytes) {
            shown += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
        }
    };
    for (qsizetype at = 0; at < name.size();) {
        char32_t c = 0;
        const qsizetype length = sequenceAt(name, at, &c);
        if (length == 0) {
            escape(name.mid(at, 1));
            ++at;
            continue;
        }
        if (c < 0x20 || isControl(c)) {
            escape(name.mid(at, length));
        } else {
            shown += QString::fromUcs4(&c, 1);
        }
        at += length;
    }
    return shown;
}

std::optional<QString> readLine(qsizetype limit)
{
    std::string line;
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (static_cast<qsizetype>(line.size()) >= limit) {
            return std::nullopt;
        }
        line.push_back(static_cast<char>(c));
    }
    return QString::fromStdString(line);
}

std::optional<QByteArray> readAll(qsizetype limit)
{
    QByteArray all;
    char buffer[65536];
    while (all.size() <= limit) {
        const auto wanted = static_cast<size_t>(std::min<qsizetype>(sizeof buffer, limit + 1 - all.size()));
        const size_t n = std::fread(buffer, 1, wanted, stdin);
        if (n == 0) {
            break;
        }
        all.append(buffer, static_cast<qsizetype>(n));
    }
    if (all.size() > limit) {
        return std::nullopt;
    }
    return all;
}

} // namespace quilvant::Console
