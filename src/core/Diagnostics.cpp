#include "core/Diagnostics.h"

#include "core/PrivateTempDir.h"

#include <QByteArray>
#include <QDateTime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace quilvant::Diagnostics {

namespace {

std::mutex& logLock()
{
    static std::mutex lock;
    return lock;
}

QString computeLogPath()
{
    const auto dir = PrivateTempDir::path();
    if (!dir.ok()) {
        return {};
    }
    return dir.value() + QStringLiteral("/kestu-diagnostics.log");
}

} // namespace

QString logPath()
{
    static const QString path = computeLogPath();
    return path;
}

QString seconds(double value)
{
    return QString::number(value, 'f', 3);
}

void record(const QString& event)
{
    const std::lock_guard guard(logLock());
    const QString& path = logPath();
    if (path.isEmpty()) {
        return;
    }
    const QByteArray line =
        QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8() + ' ' + event.toUtf8() + '\n';
    const QByteArray file = path.toLocal8Bit();
    // O_APPEND puts each write at the end; O_NOFOLLOW refuses a link planted where the log should be; O_NONBLOCK
    // keeps a FIFO there from holding the caller up, and anything but a regular file is left alone.
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return;
    }
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written <= 0) {
            break;
        }
        data += written;
        left -= written;
    }
    ::close(fd);
}

} // namespace quilvant::Diagnostics
