#include "core/Console.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace quilvant::Console {

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
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

void printLine(const QString& line)
{
    std::fflush(stdout);
    writeAll(STDOUT_FILENO, line.toUtf8() + '\n');
}

void printFailure(const QString& prefix, const QString& description)
{
    std::fflush(stderr);
    writeAll(STDERR_FILENO, (prefix + description).toUtf8() + '\n');
}

QString readLine()
{
    std::string line;
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
    }
    return QString::fromStdString(line);
}

QByteArray readAll()
{
    QByteArray all;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        all.append(buffer, static_cast<qsizetype>(n));
    }
    return all;
}

} // namespace quilvant::Console
