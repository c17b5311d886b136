// The unit lock on POSIX systems: flock on a file in the user's runtime directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "operations/unit_lock_platform.h"

namespace operations::lock_platform {

namespace {

std::string system_error(int code)
{
    return std::strerror(code);
}

int fd_of(Handle h)
{
    return static_cast<int>(h);
}

} // namespace

std::optional<std::filesystem::path> lock_directory(std::string* error)
{
    std::filesystem::path dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        dir = std::filesystem::path(runtime) / "efis-config";
    } else {
        std::error_code ec;
        std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
        if (ec) {
            temp = "/tmp";
        }
        dir = temp / ("efis-config-" + std::to_string(geteuid()));
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create the lock directory " + dir.string() + ": " + system_error(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        *error = "cannot examine the lock directory " + dir.string() + ": " + system_error(errno);
        return std::nullopt;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *error = "the lock directory " + dir.string() +
                 " is not a directory of this user's that nobody else may write; remove it";
        return std::nullopt;
    }
    return dir;
}

Handle open(const std::filesystem::path& file, bool create, bool* absent, std::string* error)
{
    // O_NOFOLLOW: a link in place of the file is refused, never followed.
    const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    int fd = -1;
    do {
        fd = ::open(file.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *absent = errno == ENOENT;
        *error = system_error(errno);
        return UnitLock::kNone;
    }
    return fd;
}

Try lock(Handle h, bool exclusive, std::string* error)
{
    int rc = 0;
    do {
        rc = flock(fd_of(h), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        return Try::Locked;
    }
    if (errno == EWOULDBLOCK) {
        return Try::Busy;
    }
    *error = system_error(errno);
    return Try::Error;
}

void unlock(Handle h)
{
    flock(fd_of(h), LOCK_UN);
}

void close(Handle h)
{
    ::close(fd_of(h));
}

bool write_holder(Handle h, const std::string& text)
{
    return ftruncate(fd_of(h), 0) == 0 &&
           pwrite(fd_of(h), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

std::string read_holder(Handle h)
{
    char buf[512];
    const ssize_t n = pread(fd_of(h), buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

long process_id()
{
    return static_cast<long>(getpid());
}

} // namespace operations::lock_platform
