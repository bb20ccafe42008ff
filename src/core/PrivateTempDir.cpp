#include "core/PrivateTempDir.h"

#include <QByteArray>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quilvant::PrivateTempDir {

namespace {

Error refused(const QString& dir, const QString& why)
{
    return Error::system(QStringLiteral("Refusing to use %1 as the private temporary directory: %2").arg(dir, why));
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString location()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/')) {
        return QString::fromLocal8Bit(runtime) + QStringLiteral("/quilvant");
    }
    return QStringLiteral("/tmp/quilvant-%1").arg(::geteuid());
}

Outcome<QString> ensure(const QString& dir)
{
    const QByteArray native = dir.toLocal8Bit();
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return Error::system(QStringLiteral("Cannot create %1: %2").arg(dir, errnoText(errno)));
    }
    // Open without following a link, then judge what was actually opened, so that nothing can be swapped in
    // between the check and the use.
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat link
        {
        };
        if (::lstat(native.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
            return refused(dir, QStringLiteral("it is a symbolic link"));
        }
        if (error == ENOTDIR || error == ELOOP) {
            return refused(dir, QStringLiteral("it is not a directory"));
        }
        return Error::system(QStringLiteral("Cannot open %1: %2").arg(dir, errnoText(error)));
    }
    struct stat info
    {
    };
    Outcome<QString> result = dir;
    if (::fstat(fd, &info) != 0) {
        result = Error::system(QStringLiteral("Cannot inspect %1: %2").arg(dir, errnoText(errno)));
    } else if (!S_ISDIR(info.st_mode)) {
        result = refused(dir, QStringLiteral("it is not a directory"));
    } else if (info.st_uid != ::geteuid()) {
        result = refused(dir, QStringLiteral("it belongs to another user"));
    } else if ((info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        result = Error::system(QStringLiteral("Cannot make %1 private: %2").arg(dir, errnoText(errno)));
    }
    ::close(fd);
    return result;
}

Outcome<QString> path()
{
    return ensure(location());
}

} // namespace quilvant::PrivateTempDir
