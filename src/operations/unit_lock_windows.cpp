// The unit lock on Windows: LockFileEx on a file in the user's temporary directory.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <system_error>

#include "operations/unit_lock_platform.h"

namespace operations::lock_platform {

namespace {

std::string system_error(DWORD code)
{
    return std::system_category().message(static_cast<int>(code));
}

HANDLE handle_of(Handle h)
{
    return reinterpret_cast<HANDLE>(h);
}

// The lock covers one byte far past the end of the file, so that the holder's text at its start
// stays readable to others (a locked range cannot be read by another handle).
OVERLAPPED lock_range()
{
    OVERLAPPED at{};
    at.Offset = 0;
    at.OffsetHigh = 0x40000000;
    return at;
}

} // namespace

std::optional<std::filesystem::path> lock_directory(std::string* error)
{
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec) / "efis-config";
    if (!ec) {
        std::filesystem::create_directories(dir, ec);
    }
    if (ec) {
        *error = "cannot create the lock directory " + dir.string() + ": " + ec.message();
        return std::nullopt;
    }
    return dir;
}

Handle open(const std::filesystem::path& file, bool create, bool* absent, std::string* error)
{
    // Handles are not inherited unless asked for: a child never holds the lock.
    const HANDLE h = CreateFileW(file.c_str(), create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *absent = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        *error = system_error(code);
        return UnitLock::kNone;
    }
    return reinterpret_cast<Handle>(h);
}

Try lock(Handle h, bool exclusive, std::string* error)
{
    OVERLAPPED at = lock_range();
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle_of(h), flags, 0, 1, 0, &at)) {
        return Try::Locked;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION) {
        return Try::Busy;
    }
    *error = system_error(code);
    return Try::Error;
}

void unlock(Handle h)
{
    // Explicitly: the system releases a closed handle's locks only in its own time.
    OVERLAPPED at = lock_range();
    UnlockFileEx(handle_of(h), 0, 1, 0, &at);
}

void close(Handle h)
{
    CloseHandle(handle_of(h));
}

bool write_holder(Handle h, const std::string& text)
{
    DWORD written = 0;
    return SetFilePointer(handle_of(h), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           SetEndOfFile(handle_of(h)) &&
           WriteFile(handle_of(h), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string read_holder(Handle h)
{
    char buf[512];
    DWORD n = 0;
    if (SetFilePointer(handle_of(h), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(handle_of(h), buf, sizeof buf, &n, nullptr)) {
        return {};
    }
    return std::string(buf, n);
}

long process_id()
{
    return static_cast<long>(GetCurrentProcessId());
}

} // namespace operations::lock_platform
