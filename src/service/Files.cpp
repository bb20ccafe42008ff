#include "service/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quilvant::service {

namespace {

std::string failure(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

} // namespace

FileText readSmallFile(const std::string& path, std::size_t limit)
{
    FileText result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = failure("cannot open", path);
        return result;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result.error = failure("cannot read", path);
            break;
        }
        if (n == 0) {
            break;
        }
        if (result.value.size() + static_cast<std::size_t>(n) > limit) {
            result.error = path + " is larger than " + std::to_string(limit) + " bytes";
            break;
        }
        result.value.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!result.error.empty()) {
        result.value.clear();
    }
    return result;
}

std::string writeFileAtomically(const std::string& path, const std::string& content, unsigned mode)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return failure("cannot create", temporary);
    }
    std::size_t written = 0;
    std::string error;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = failure("cannot write", temporary);
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (error.empty() && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
        error = failure("cannot write", temporary);
    }
    if (::close(fd) != 0 && error.empty()) {
        error = failure("cannot write", temporary);
    }
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = failure("cannot replace", path);
    }
    if (!error.empty()) {
        ::unlink(temporary.c_str());
    }
    return error;
}

std::string makeDirectories(const std::string& path, unsigned mode)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            return failure("cannot create", prefix);
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    return {};
}

} // namespace quilvant::service
