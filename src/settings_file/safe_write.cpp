// Writing a file so that it is never lost: the part every platform shares.
#include "settings_file/safe_write_platform.h"
#include "settings_file/settings_file.h"

namespace settings_file {

namespace fs = std::filesystem;

namespace platform {

std::string directory_text(const fs::path& target)
{
    return target.has_parent_path() ? target.parent_path().string() : std::string("the current directory");
}

} // namespace platform

namespace {

// As the system's own limit on links followed in one path.
constexpr int kMaxLinks = 40;

bool refuse(std::string* error, const std::string& text)
{
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

} // namespace

bool write_file_safely(const std::string& path, std::string_view bytes, std::string* error)
{
    // A link is followed to the file it names, so that renaming over it replaces that file and
    // keeps the link, as writing into the file would have.
    fs::path target(path);
    std::error_code ec;
    for (int hops = 0; fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
        if (hops == kMaxLinks) {
            return refuse(error, "cannot write " + path + ": too many levels of symbolic links");
        }
        const fs::path next = fs::read_symlink(target, ec);
        if (ec) {
            return refuse(error, "cannot write " + path + ": " + ec.message());
        }
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    // Renaming over a device or a FIFO would put a plain file where the system expects the node.
    const fs::file_status status = fs::symlink_status(target, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        return refuse(error, path + " is not a regular file");
    }
    return platform::replace_file(target, path, bytes, error);
}

} // namespace settings_file
