// The one log function of the device layer (comms and firmware_ops). Its lines go to standard
// output unless a program installs its own sink, e.g. one that keeps standard output for results.
#pragma once

// text: one formatted piece exactly as printf would have produced it (normally a whole line with
// its '\n').
using device_log_sink_t = void (*)(const char* text, void* user);

// nullptr restores the default. Safe while other threads log: once this returns, the previous sink
// is no longer being called and will not be called again.
void set_device_log_sink(device_log_sink_t sink, void* user);

// A second receiver of every piece, besides the sink: a program's log file keeps the lines whoever
// reads the streams. nullptr: none. Called under the same lock as the sink.
void set_device_log_copy(device_log_sink_t copy, void* user);

void device_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output when the default sink is in use.
void device_log_flush();
