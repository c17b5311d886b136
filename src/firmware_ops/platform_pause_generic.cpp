#include "firmware_ops/platform_pause.h"

// Nothing to adjust elsewhere: the pause corrects for late wake-ups on its own.
platform_pause::FineTimer::FineTimer() = default;

platform_pause::FineTimer::~FineTimer() = default;
