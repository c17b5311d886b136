// What the unit lock needs of the operating system: one implementation per platform
// (unit_lock_posix.cpp, unit_lock_windows.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "operations/unit_lock.h"

namespace operations::lock_platform {

using Handle = UnitLock::Handle;

// The directory of the lock files, created when missing; nullopt with `error` when it is unfit.
std::optional<std::filesystem::path> lock_directory(std::string* error);

// Opens the lock file, creating it when `create` (not inherited by child processes). kNone on
// failure: `absent` when the file does not exist, else `error`.
Handle open(const std::filesystem::path& file, bool create, bool* absent, std::string* error);

enum class Try { Locked, Busy, Error };
Try lock(Handle h, bool exclusive, std::string* error);
void unlock(Handle h);
void close(Handle h);

// The holder's text, in place of what the file held.
bool write_holder(Handle h, const std::string& text);
// The start of the file.
std::string read_holder(Handle h);

long process_id();

} // namespace operations::lock_platform
