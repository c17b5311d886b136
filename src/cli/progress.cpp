#include "cli/progress.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <utility>

#ifdef _WIN32
#include <atomic>
#else
#include <pthread.h>

#include <ctime>
#endif

namespace efis_cli {

namespace {

// Blocks while erasing; bytes in the most readable unit while writing.
std::string amount(double v, int phase)
{
    char buf[32];
    if (phase == 0) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else if (v >= 1024.0 * 1024.0) {
        std::snprintf(buf, sizeof buf, "%.2f MiB", v / (1024.0 * 1024.0));
    } else if (v >= 1024.0) {
        std::snprintf(buf, sizeof buf, "%.1f KiB", v / 1024.0);
    } else {
        std::snprintf(buf, sizeof buf, "%.0f bytes", v);
    }
    return buf;
}

std::string duration(double seconds)
{
    const long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

const char* phase_name(int phase)
{
    return phase == 0 ? "Erasing" : "Writing";
}

#ifdef _WIN32
// Windows runs a console's Ctrl-C handler in a thread of its own: a lock-free counter is all the
// handler touches.
std::atomic<int> g_counted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void count_interrupt(int)
{
    g_counted.fetch_add(1);
    std::signal(SIGINT, count_interrupt);
}
#endif

} // namespace

Progress::Progress(Context& ctx) : ctx_(ctx)
{
    ctx_.progress = this;
}

Progress::~Progress()
{
    break_line();
    ctx_.progress = nullptr;
}

void Progress::report(uint32_t current, uint32_t total, int phase, void* user_data)
{
    static_cast<Progress*>(user_data)->update(current, total, phase);
}

void Progress::break_line()
{
    if (line_open_) {
        ctx_.io.err << "\n" << std::flush;
        line_open_ = false;
    }
}

std::string Progress::line(uint32_t current, uint32_t total) const
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - phase_start_).count();
    const double rate = elapsed > 0.05 ? current / elapsed : 0.0;
    const double percent = total == 0 ? 100.0 : 100.0 * current / total;
    std::string text = std::string(phase_name(phase_)) + "  " + amount(current, phase_) + " of " +
                       amount(total, phase_) + (phase_ == 0 ? " blocks" : "");
    char pct[16];
    std::snprintf(pct, sizeof pct, "  %3.0f%%", percent);
    text += pct;
    if (rate > 0.0) {
        char r[32];
        if (phase_ == 0) {
            std::snprintf(r, sizeof r, "  %.1f blocks/s", rate);
        } else {
            std::snprintf(r, sizeof r, "  %s/s", amount(rate, 1).c_str());
        }
        text += r;
        text += "  " + duration((total - current) / rate) + " left";
    }
    return text;
}

void Progress::update(uint32_t current, uint32_t total, int phase)
{
    if (ctx_.quiet) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (phase != phase_) {
        break_line();
        phase_ = phase;
        phase_start_ = now;
        last_tenth_ = -1;
        last_draw_ = {};
    }
    const bool finished = current >= total;
    if (ctx_.io.err_is_terminal) {
        // A redraw costs a write; ten a second is smooth enough for a person.
        if (!finished && now - last_draw_ < std::chrono::milliseconds(100)) {
            return;
        }
        last_draw_ = now;
        ctx_.io.err << "\r\033[K" << line(current, total) << std::flush;
        line_open_ = true;
        return;
    }
    const int tenth = total == 0 ? 10 : static_cast<int>(uint64_t{current} * 10 / total);
    if (tenth > last_tenth_ && (tenth > 0 || finished)) {
        last_tenth_ = tenth;
        ctx_.io.err << line(current, total) << "\n" << std::flush;
    }
}

#ifdef _WIN32

InterruptCounter::InterruptCounter()
{
    g_counted = 0;
    previous_ = std::signal(SIGINT, count_interrupt);
}

InterruptCounter::~InterruptCounter()
{
    std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
}

int InterruptCounter::count()
{
    return g_counted.load();
}

#else

namespace {

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

InterruptCounter::InterruptCounter()
{
    const sigset_t set = interrupt_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    was_blocked_ = sigismember(&old, SIGINT) == 1;
}

InterruptCounter::~InterruptCounter()
{
    take_pending();
    if (!was_blocked_) {
        const sigset_t set = interrupt_set();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void InterruptCounter::take_pending()
{
    // A signal is pending once however often it came before it was taken: two quick presses
    // between two looks count as one.
    const sigset_t set = interrupt_set();
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) == SIGINT) {
        ++count_;
    }
}

int InterruptCounter::count()
{
    take_pending();
    return count_;
}

#endif

UploadInterrupts::UploadInterrupts(const Context& ctx, std::string warning) : ctx_(ctx), warning_(std::move(warning)) {}

void UploadInterrupts::check()
{
    const int n = counter_.count();
    if (n >= 1 && !warned_) {
        warned_ = true;
        ctx_.warn(warning_);
    }
    if (n >= 2) {
        ctx_.warn("efis-cli: stopped by Ctrl-C; the transfer is incomplete");
        ctx_.io.out.flush();
        ctx_.io.err.flush();
        std::_Exit(kInterrupted);
    }
}

void UploadWatch::report(uint32_t current, uint32_t total, int phase, void* user_data)
{
    auto* watch = static_cast<UploadWatch*>(user_data);
    Progress::report(current, total, phase, &watch->progress);
    watch->interrupts.check();
}

} // namespace efis_cli
