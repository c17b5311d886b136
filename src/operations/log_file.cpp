// The log a program keeps of what it says, whoever reads its streams: one file per program under
// the state directory, lines appended whole so that several programs may write at once.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "comms/device_log.h"
#include "operations/operations.h"

namespace operations {

namespace {

constexpr std::uintmax_t kRotateBytes = 1024 * 1024;
constexpr int kOldFiles = 3;

struct ProgramLog {
    std::mutex mutex;
    bool started = false;
    std::string path;
    std::string pid;
    std::string pending; // the start of a line not yet ended
    std::function<void(const std::string&)> complain;
    bool complained = false;
#ifdef _WIN32
    FILE* file = nullptr;
#else
    int fd = -1;
#endif
};

ProgramLog& the_log()
{
    static ProgramLog log;
    return log;
}

// The old files move up one (the oldest goes) and the log becomes .1.
void rotate(const std::string& path)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size <= kRotateBytes) {
        return;
    }
    std::filesystem::remove(path + "." + std::to_string(kOldFiles), ec);
    for (int n = kOldFiles - 1; n >= 1; --n) {
        std::filesystem::rename(path + "." + std::to_string(n), path + "." + std::to_string(n + 1), ec);
    }
    std::filesystem::rename(path, path + ".1", ec);
}

// Opens the log for appending, rotating it first while holding the rotation lock; an error text,
// or empty.
std::string open_log(ProgramLog& log)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(log.path).parent_path(), ec);
    if (ec) {
        return ec.message();
    }
#ifdef _WIN32
    // One program at a time is not enforced here: renaming an open file fails on Windows anyway.
    rotate(log.path);
    log.file = std::fopen(log.path.c_str(), "ab");
    return log.file != nullptr ? std::string() : std::string("cannot open it");
#else
    const int lock = ::open((log.path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) {
        flock(lock, LOCK_EX);
    }
    rotate(log.path);
    log.fd = ::open(log.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const int open_errno = errno;
    if (lock >= 0) {
        flock(lock, LOCK_UN);
        ::close(lock);
    }
    return log.fd >= 0 ? std::string() : std::error_code(open_errno, std::generic_category()).message();
#endif
}

// Writes the lines in one call, so that another program's lines never land inside them.
bool write_all(ProgramLog& log, const std::string& lines)
{
#ifdef _WIN32
    return log.file != nullptr && std::fwrite(lines.data(), 1, lines.size(), log.file) == lines.size() &&
           std::fflush(log.file) == 0;
#else
    return log.fd >= 0 && ::write(log.fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
#endif
}

void close_log(ProgramLog& log)
{
#ifdef _WIN32
    if (log.file != nullptr) {
        std::fclose(log.file);
        log.file = nullptr;
    }
#else
    if (log.fd >= 0) {
        ::close(log.fd);
        log.fd = -1;
    }
#endif
}

// Called with the mutex held; the complaint, if one is due, for the caller to pass on unlocked.
std::string failed(ProgramLog& log, const std::string& why)
{
    close_log(log);
    if (log.complained) {
        return {};
    }
    log.complained = true;
    return "the log " + log.path + " cannot be written (" + why + "); going on without it";
}

void device_copy(const char* text, void*)
{
    program_log(text);
}

} // namespace

std::string program_log_path(const std::string& program)
{
    return (std::filesystem::path(state_directory()) / "logs" / (program + ".log")).string();
}

void start_program_log(const std::string& program, std::function<void(const std::string&)> complain)
{
    stop_program_log();
    ProgramLog& log = the_log();
    std::string complaint;
    std::function<void(const std::string&)> tell;
    {
        std::lock_guard lock(log.mutex);
        log.started = true;
        log.path = program_log_path(program);
#ifdef _WIN32
        log.pid = std::to_string(_getpid());
#else
        log.pid = std::to_string(getpid());
#endif
        log.complain = std::move(complain);
        log.complained = false;
        if (const std::string error = open_log(log); !error.empty()) {
            complaint = failed(log, error);
            tell = log.complain;
        }
    }
    if (!complaint.empty() && tell) {
        tell(complaint);
    }
    set_device_log_copy(device_copy, nullptr);
}

void stop_program_log()
{
    set_device_log_copy(nullptr, nullptr);
    ProgramLog& log = the_log();
    bool unended = false;
    {
        std::lock_guard lock(log.mutex);
        if (!log.started) {
            return;
        }
        unended = !log.pending.empty();
    }
    if (unended) {
        program_log("\n");
    }
    std::lock_guard lock(log.mutex);
    close_log(log);
    log.started = false;
    log.pending.clear();
    log.complain = nullptr;
}

void program_log(std::string_view text)
{
    ProgramLog& log = the_log();
    std::string complaint;
    std::function<void(const std::string&)> tell;
    {
        std::lock_guard lock(log.mutex);
        if (!log.started) {
            return;
        }
        log.pending.append(text);
        const size_t end = log.pending.rfind('\n');
        if (end == std::string::npos) {
            return;
        }
        const std::string prefix =
            local_time_text(std::chrono::system_clock::now(), "%Y-%m-%dT%H:%M:%S", true) + " [" + log.pid + "] ";
        std::string lines;
        for (size_t at = 0; at <= end;) {
            const size_t nl = log.pending.find('\n', at);
            lines += prefix;
            lines.append(log.pending, at, nl + 1 - at);
            at = nl + 1;
        }
        log.pending.erase(0, end + 1);
        if (log.complained) {
            return;
        }
        if (!write_all(log, lines)) {
            complaint = failed(log, "a write failed");
            tell = log.complain;
        }
    }
    if (!complaint.empty() && tell) {
        tell(complaint);
    }
}

} // namespace operations
