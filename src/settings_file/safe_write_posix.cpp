// Writing a file safely on POSIX systems: mkostemp beside the target, fsync, rename, fsync of the
// directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings_file/safe_write_platform.h"

namespace settings_file::platform {

namespace {

bool refuse(std::string* error, const std::string& text)
{
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

// The process's umask, read without changing it where the system tells it (Linux 4.7 on): setting
// and restoring it would race with another thread creating a file.
mode_t current_umask()
{
    if (FILE* f = std::fopen("/proc/self/status", "r"); f != nullptr) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(f);
        if (found) {
            return static_cast<mode_t>(mask);
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

bool replace_file(const std::filesystem::path& target, const std::string& shown, std::string_view bytes,
                  std::string* error)
{
    const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;

    // Hidden, and short enough for the directory's name limit whatever the target's length.
    std::string temp = (dir / ("." + target.filename().string().substr(0, 200) + ".XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return refuse(error,
                      "cannot create a temporary file in " + directory_text(target) + ": " + std::strerror(errno));
    }
    const auto abandon = [&](const std::string& what, int err, bool close_it) {
        if (close_it) {
            ::close(fd);
        }
        ::unlink(temp.c_str());
        return refuse(error, what + ": " + std::strerror(err));
    };

    // mkostemp makes the file 0600; the new file takes the old one's permissions (and, where we
    // may, its owner), or those any new file would get.
    if (replacing && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    const mode_t mode = replacing ? (old.st_mode & 07777) : (0666 & ~current_umask());
    if (::fchmod(fd, mode) != 0) {
        return abandon("cannot set the permissions of a temporary file in " + directory_text(target), errno, true);
    }
    if (!write_all(fd, bytes) || ::fsync(fd) != 0) {
        return abandon("cannot write " + shown, errno, true);
    }
    if (::close(fd) != 0) {
        return abandon("cannot write " + shown, errno, false);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        return abandon("cannot replace " + shown, errno, false);
    }
    // The rename lasts through a power cut only once the directory is on disk too. A directory
    // that cannot be opened for reading cannot be synced; some file systems do not sync one.
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        const int synced = ::fsync(dfd);
        const int err = errno;
        ::close(dfd);
        if (synced != 0 && err != EINVAL && err != ENOTSUP) {
            return refuse(error, shown + " was written, but its directory " + directory_text(target) +
                                     " could not be synced: " + std::strerror(err));
        }
    }
    return true;
}

} // namespace settings_file::platform
