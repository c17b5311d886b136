#include "firmware_ops/platform_pause.h"

#include <sys/prctl.h>

// Linux lets a sleeping thread wake up to its timer slack late (50 us unless lowered): lower it to
// the least there is for as long as the pause is held.
platform_pause::FineTimer::FineTimer()
{
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1 && prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0) {
        saved_ = slack;
    }
}

platform_pause::FineTimer::~FineTimer()
{
    if (saved_ > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0, 0, 0);
    }
}
