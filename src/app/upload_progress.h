// Turns the transfer's per-packet progress reports into bar values and decides which of them are
// worth posting to the GUI thread. Lives on the worker thread, one per run.
#pragma once

#include <chrono>
#include <cstdint>

class MainWindow;

// The firmware tab's progress callback (fw_progress_callback_t): `user_data` is the run's
// ThrottledUploadProgressCtx. Called on the worker thread; posts to the window.
void post_firmware_upload_progress(uint32_t current, uint32_t total, int phase, void* user_data);

inline constexpr uint32_t kUploadBarMax = 10000;
inline constexpr uint32_t kEraseBarWeight = 1200; // erase fills 0..1200, the upload 1200..10000

struct ThrottledUploadProgressCtx {
    MainWindow* window = nullptr;
    std::chrono::steady_clock::time_point last_emit{};
    uint32_t last_posted_bar = 0xFFFFFFFFu; // nothing posted yet
    int last_phase = -2;                    // matches no phase

    uint32_t compute_bar(uint32_t current, uint32_t total, int phase) const;
    bool should_emit(uint32_t bar, int phase, uint32_t current, uint32_t total);
    // The same decision at a given time.
    bool should_emit_at(uint32_t bar, int phase, uint32_t current, uint32_t total,
                        std::chrono::steady_clock::time_point now);
};
