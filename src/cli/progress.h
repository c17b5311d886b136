// Progress of an upload on standard error: on a terminal one line redrawn in place, otherwise a
// line at every tenth; and the Ctrl-C guard that keeps a stray key from cutting a transfer short.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/context.h"

namespace efis_cli {

class Progress {
public:
    // Attaches itself to the context, so that log lines can clear the line first.
    explicit Progress(Context& ctx);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // fw_progress_callback_t; user_data is the Progress.
    static void report(uint32_t current, uint32_t total, int phase, void* user_data);
    // Ends a drawn line so that other text starts on a line of its own.
    void break_line();

private:
    using Clock = std::chrono::steady_clock;
    void update(uint32_t current, uint32_t total, int phase);
    std::string line(uint32_t current, uint32_t total) const;

    Context& ctx_;
    int phase_ = -1;
    Clock::time_point phase_start_{};
    Clock::time_point last_draw_{};
    int last_tenth_ = -1;
    bool line_open_ = false;
};

// While alive, Ctrl-C only counts: the command asks how many came, at a point where it can act on
// them, and says what it does. On POSIX systems SIGINT is blocked in the calling thread and taken
// from the pending set, so no exchange with the unit is cut short by an interrupted system call
// (a read that returned EINTR would look like a unit that did not answer); when the counter goes,
// a Ctrl-C still pending is taken too, never delivered to the handler it restores.
class InterruptCounter {
public:
    InterruptCounter();
    ~InterruptCounter();
    InterruptCounter(const InterruptCounter&) = delete;
    InterruptCounter& operator=(const InterruptCounter&) = delete;

    // Ctrl-Cs since the counter was made.
    int count();

private:
#ifdef _WIN32
    void (*previous_)(int);
#else
    void take_pending();
    int count_ = 0;
    bool was_blocked_ = false;
#endif
};

// Ctrl-C during an upload, looked at between packets: the first one prints `warning` and the
// transfer goes on; a second one ends the program at once (exit status 130), the bank or region
// left as far as it was written. Counted rather than handled, so that no exchange with the unit
// is cut short by the signal.
class UploadInterrupts {
public:
    UploadInterrupts(const Context& ctx, std::string warning);
    // Acts on the Ctrl-Cs that came since the last look.
    void check();
    int count() { return counter_.count(); }

private:
    const Context& ctx_;
    std::string warning_;
    InterruptCounter counter_;
    bool warned_ = false;
};

// The progress callback of an upload that also looks for Ctrl-C after every report.
struct UploadWatch {
    Progress& progress;
    UploadInterrupts& interrupts;
    static void report(uint32_t current, uint32_t total, int phase, void* user_data);
};

} // namespace efis_cli
