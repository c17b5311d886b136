// Capture of a standard stream at the file-descriptor level, so that what the program under test
// prints through stdio, or writes to the descriptor directly, ends up here.
#pragma once

#include <cstdio>
#include <string>

namespace support {

// Redirects one standard stream (1 or 2) into a temporary file for the lifetime of the object.
class StreamCapture {
public:
    explicit StreamCapture(int fd);
    // Restores the stream; writes the captured text back to it first if hand_back_on_close(true).
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written so far; the stream stays captured.
    std::string text();
    // Ends the capture early; text() still returns what was captured.
    void restore();
    // Whether the destructor hands the captured text back to the stream, e.g. because the test
    // failed and what was printed belongs in its log.
    void hand_back_on_close(bool on) { hand_back_ = on; }

private:
    void flush_stream() const;

    int fd_;
    int saved_ = -1;
    FILE* file_ = nullptr;
    bool hand_back_ = false;
};

} // namespace support
