#include "operations/unit_lock.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "operations/unit_lock_platform.h"

namespace operations {

namespace {

namespace platform = lock_platform;

// Escaped names up to this length are used whole: well within any file system's name limit.
constexpr size_t kMaxEscaped = 120;
constexpr size_t kKeptOfLong = 80;

// FNV-1a: a fixed, published hash, so that every build of every program names the same file
// (std::hash promises neither across libraries nor across runs).
uint64_t fnv1a64(const std::string& text)
{
    uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// One line, no control characters: the name is shown as it is in another program's messages.
std::string printable(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return text;
}

// "<pid> <program>\n", as take_unit_lock writes it.
LockHolder holder_of(const std::string& text)
{
    LockHolder holder;
    const size_t end = text.find('\n');
    const size_t space = text.find(' ');
    if (end == std::string::npos || space == std::string::npos || space == 0 || space + 1 >= end) {
        return holder;
    }
    long pid = 0;
    const auto [rest, ec] = std::from_chars(text.data(), text.data() + space, pid);
    if (ec != std::errc() || rest != text.data() + space || pid <= 0) {
        return holder;
    }
    holder.pid = pid;
    holder.program = printable(text.substr(space + 1, end - space - 1));
    return holder;
}

std::optional<std::filesystem::path> lock_file(const std::string& device_path, std::string* error)
{
    const std::optional<std::filesystem::path> dir = platform::lock_directory(error);
    if (!dir) {
        return std::nullopt;
    }
    return *dir / unit_lock_file_name(device_path);
}

} // namespace

UnitLock::~UnitLock()
{
    release();
}

UnitLock::UnitLock(UnitLock&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), file_(std::move(other.file_))
{
}

UnitLock& UnitLock::operator=(UnitLock&& other) noexcept
{
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, kNone);
        file_ = std::move(other.file_);
    }
    return *this;
}

void UnitLock::release()
{
    if (handle_ != kNone) {
        platform::unlock(handle_);
        platform::close(handle_);
        handle_ = kNone;
    }
}

std::string unit_lock_file_name(const std::string& device_path)
{
    std::string escaped;
    for (const unsigned char c : device_path) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_') {
            escaped += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", c);
            escaped += hex;
        }
    }
    if (escaped.size() > kMaxEscaped) {
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a64(device_path)));
        escaped = escaped.substr(0, kKeptOfLong) + "~" + hash;
    }
    // The prefix keeps the name clear of ".", ".." and the device names Windows reserves.
    return "unit-" + escaped + ".lock";
}

std::string unit_lock_directory(std::string* error)
{
    const std::optional<std::filesystem::path> dir = platform::lock_directory(error);
    return dir ? dir->string() : std::string();
}

LockAttempt take_unit_lock(const std::string& device_path, const std::string& program)
{
    LockAttempt attempt;
    const std::optional<std::filesystem::path> file = lock_file(device_path, &attempt.error);
    if (!file) {
        return attempt;
    }
    std::string error;
    bool absent = false;
    const platform::Handle h = platform::open(*file, true, &absent, &error);
    if (h == UnitLock::kNone) {
        attempt.error = "cannot open the lock file " + file->string() + ": " + error;
        return attempt;
    }
    // unit_lock_holder holds the lock for an instant while it looks: a few short tries ride that
    // out, and cost nothing when the lock is free.
    platform::Try got = platform::Try::Busy;
    for (int i = 0; i < 10; ++i) {
        got = platform::lock(h, true, &error);
        if (got != platform::Try::Busy) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (got != platform::Try::Locked) {
        if (got == platform::Try::Busy) {
            attempt.outcome = LockOutcome::InUse;
            attempt.holder = holder_of(platform::read_holder(h));
        } else {
            attempt.error = "cannot lock " + file->string() + ": " + error;
        }
        platform::close(h);
        return attempt;
    }
    // A holder that cannot be written reads as unknown; the lock itself is held all the same.
    platform::write_holder(h, std::to_string(platform::process_id()) + " " + printable(program) + "\n");
    attempt.outcome = LockOutcome::Taken;
    attempt.lock = UnitLock(h, file->string());
    return attempt;
}

std::optional<LockHolder> unit_lock_holder(const std::string& device_path, std::string* error)
{
    std::string why;
    const auto fail = [&](const std::string& text) {
        if (error != nullptr) {
            *error = text;
        }
        return std::nullopt;
    };
    const std::optional<std::filesystem::path> file = lock_file(device_path, &why);
    if (!file) {
        return fail(why);
    }
    bool absent = false;
    const platform::Handle h = platform::open(*file, false, &absent, &why);
    if (h == UnitLock::kNone) {
        return absent ? std::nullopt : fail("cannot open the lock file " + file->string() + ": " + why);
    }
    // A shared lock is refused only while someone holds the exclusive one.
    const platform::Try got = platform::lock(h, false, &why);
    std::optional<LockHolder> holder;
    if (got == platform::Try::Locked) {
        platform::unlock(h);
    } else if (got == platform::Try::Busy) {
        holder = holder_of(platform::read_holder(h));
    }
    platform::close(h);
    if (got == platform::Try::Error) {
        return fail("cannot look at the lock " + file->string() + ": " + why);
    }
    return holder;
}

} // namespace operations
