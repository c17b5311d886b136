#include "app/upload_progress.h"

uint32_t ThrottledUploadProgressCtx::compute_bar(uint32_t current, uint32_t total, int phase) const
{
    if (total == 0) {
        return 0;
    }
    if (phase == 0) {
        return static_cast<uint32_t>(uint64_t{current} * kEraseBarWeight / total);
    }
    return kEraseBarWeight + static_cast<uint32_t>(uint64_t{current} * (kUploadBarMax - kEraseBarWeight) / total);
}

bool ThrottledUploadProgressCtx::should_emit(uint32_t bar, int phase, uint32_t current, uint32_t total)
{
    return should_emit_at(bar, phase, current, total, std::chrono::steady_clock::now());
}

bool ThrottledUploadProgressCtx::should_emit_at(uint32_t bar, int phase, uint32_t current, uint32_t total,
                                                std::chrono::steady_clock::time_point now)
{
    if (phase != last_phase) {
        last_phase = phase;
        last_posted_bar = bar;
        last_emit = now;
        return true;
    }
    // A phase's last report always goes out, so the bar ends where the phase really ended.
    const bool last_of_phase = current == total && total != 0;
    const bool moved = last_posted_bar == 0xFFFFFFFFu || uint64_t{bar} > uint64_t{last_posted_bar} + 40;
    const bool stale = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_emit).count() >= 40;
    if (last_of_phase || moved || stale) {
        last_posted_bar = bar;
        last_emit = now;
        return true;
    }
    return false;
}
