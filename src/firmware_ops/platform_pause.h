// What the packet pause needs from the platform: short sleeps that wake close to their deadline.
// Internal to firmware_ops; one implementation per platform, picked by the build.
#pragma once

namespace platform_pause {

// While held, this thread's sleeps and timed waits wake as close to their deadline as the platform
// lets a program ask for; the thread gets its old setting back when it ends.
class FineTimer {
public:
    FineTimer();
    ~FineTimer();
    FineTimer(const FineTimer&) = delete;
    FineTimer& operator=(const FineTimer&) = delete;

private:
    [[maybe_unused]] long saved_ = -1; // the platform's setting before, when it was changed
};

// Whether a sleep of a fraction of a millisecond is worth taking. Windows sleeps in whole scheduler
// ticks (a millisecond at best), which would stretch a 100 us pause tenfold, so there the pause
// waits on the clock alone.
#ifdef _WIN32
inline constexpr bool kShortSleeps = false;
#else
inline constexpr bool kShortSleeps = true;
#endif

} // namespace platform_pause
