#include "comms/device_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// Held while the sink runs, so that replacing a sink waits for the calls in progress, and so that
// lines from two threads never interleave inside one sink. Recursive: a sink may replace itself.
std::recursive_mutex sink_mutex;
device_log_sink_t sink_fn = nullptr; // nullptr: standard output
void* sink_user = nullptr;
device_log_sink_t copy_fn = nullptr;
void* copy_user = nullptr;

void emit(const char* text)
{
    std::lock_guard<std::recursive_mutex> lock(sink_mutex);
    if (sink_fn == nullptr) {
        fputs(text, stdout);
    } else {
        sink_fn(text, sink_user);
    }
    if (copy_fn != nullptr) {
        copy_fn(text, copy_user);
    }
}

} // namespace

void set_device_log_sink(device_log_sink_t sink, void* user)
{
    std::lock_guard<std::recursive_mutex> lock(sink_mutex);
    sink_fn = sink;
    sink_user = sink != nullptr ? user : nullptr;
}

void set_device_log_copy(device_log_sink_t copy, void* user)
{
    std::lock_guard<std::recursive_mutex> lock(sink_mutex);
    copy_fn = copy;
    copy_user = copy != nullptr ? user : nullptr;
}

void device_log(const char* fmt, ...)
{
    // Most lines fit on the stack; a longer one (a long file path) is formatted again on the heap.
    char stack_text[512];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(stack_text, sizeof stack_text, fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    char* heap_text = nullptr;
    if (static_cast<size_t>(n) >= sizeof stack_text) {
        heap_text = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (heap_text != nullptr) {
            vsnprintf(heap_text, static_cast<size_t>(n) + 1, fmt, again);
        }
    }
    va_end(again);
    // Out of memory: the cut line is still better than none.
    emit(heap_text != nullptr ? heap_text : stack_text);
    std::free(heap_text);
}

void device_log_flush()
{
    std::lock_guard<std::recursive_mutex> lock(sink_mutex);
    if (sink_fn == nullptr) {
        fflush(stdout);
    }
}
