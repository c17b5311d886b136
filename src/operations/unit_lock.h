// The lock every program of ours takes on a unit before it opens it and holds until it has closed
// it, so that two programs never talk to one unit at once and a program that finds a unit in use
// can say who has it. A unit whose lock is held is not opened at all.
//
// The lock is an exclusive flock (LockFileEx on Windows) on a file named after the unit's device
// path, which holds the holder's program name and pid. The kernel drops the lock of a process that
// ends in any way, so a crash never leaves a unit locked. Locks belong to the open file, not to the
// process: a second take in the same process is refused too. The file is opened close-on-exec, so
// a child the program starts never inherits the lock.
//
// Where: $XDG_RUNTIME_DIR/efis-config/ (created with mode 0700). Without XDG_RUNTIME_DIR, a
// directory of the user's own in the system's temporary directory, efis-config-<uid>/ (mode 0700),
// refused unless it is a real directory owned by the user that nobody else may write: a directory
// shared by every user there would let another user plant links or take the name first. Both
// places are per user, as the unit's device node is given to the user at the seat. On Windows,
// %TEMP%\efis-config\, which is per user already.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace operations {

struct LockHolder {
    std::string program = "unknown"; // as the holder wrote it; "unknown" when the file says nothing readable
    long pid = 0;                    // 0 when unknown
};

class UnitLock {
public:
    UnitLock() = default; // holds nothing
    ~UnitLock();
    UnitLock(UnitLock&& other) noexcept;
    UnitLock& operator=(UnitLock&& other) noexcept;
    UnitLock(const UnitLock&) = delete;
    UnitLock& operator=(const UnitLock&) = delete;

    bool held() const { return handle_ != kNone; }
    const std::string& file() const { return file_; }
    void release();

    // Platform file handle (a descriptor, or a Windows HANDLE); for the implementation.
    using Handle = std::intptr_t;
    static constexpr Handle kNone = -1;
    UnitLock(Handle handle, std::string file) : handle_(handle), file_(std::move(file)) {}

private:
    Handle handle_ = kNone;
    std::string file_;
};

enum class LockOutcome {
    Taken,  // `lock` holds it
    InUse,  // another holds it: `holder`
    Failed, // no lock could be had: `error` says why, naming the file or directory
};

struct LockAttempt {
    LockOutcome outcome = LockOutcome::Failed;
    UnitLock lock;
    LockHolder holder;
    std::string error;
};

// Takes the lock of `device_path` for `program` without waiting for it.
LockAttempt take_unit_lock(const std::string& device_path, const std::string& program);

// Who holds the lock of `device_path`, without keeping it (for a list of units): nullopt when
// nobody does, or when it cannot be told (then `error`, when given, says why).
std::optional<LockHolder> unit_lock_holder(const std::string& device_path, std::string* error = nullptr);

// The directory of the lock files, created when missing; empty with `error` set when it is unfit.
std::string unit_lock_directory(std::string* error);

// The lock file's name for a device path. Lower-case letters, digits, '.', '-' and '_' stand for
// themselves and every other byte is escaped as %xx (upper case too, for file systems that ignore
// case), so that two paths never share a file. A path whose name would be too long for a file name
// keeps the start of it and a 64-bit hash of the whole path after a '~', which an escaped name
// never holds.
std::string unit_lock_file_name(const std::string& device_path);

} // namespace operations
