// Where the programs keep what they keep between runs, and how its files are named: one place, so
// that a backup, a history entry, a log line and a report name a unit and a time alike.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "operations/operations.h"

namespace operations {

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

} // namespace

std::string state_directory()
{
    std::filesystem::path base = env("XDG_STATE_HOME");
    if (base.empty()) {
#ifdef _WIN32
        base = env("LOCALAPPDATA");
#else
        base = std::filesystem::path(env("HOME")) / ".local" / "state";
#endif
    }
    return (base / "efis-config").string();
}

std::string default_backup_directory()
{
    return (std::filesystem::path(state_directory()) / "backups").string();
}

std::string serial_folder(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
    return text;
}

std::string local_time_text(std::chrono::system_clock::time_point when, const char* format, bool milliseconds)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, format, &local);
    if (milliseconds) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
        std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms));
    }
    return buf;
}

} // namespace operations
