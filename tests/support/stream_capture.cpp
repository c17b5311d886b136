#include "tests/support/stream_capture.h"

#include <unistd.h>

namespace support {

StreamCapture::StreamCapture(int fd) : fd_(fd)
{
    flush_stream();
    file_ = tmpfile();
    if (file_ == nullptr) {
        return; // nothing captured; the stream is left as it was
    }
    saved_ = dup(fd_);
    if (saved_ >= 0 && dup2(fileno(file_), fd_) < 0) {
        close(saved_);
        saved_ = -1;
    }
}

StreamCapture::~StreamCapture()
{
    const std::string captured = hand_back_ ? text() : std::string();
    restore();
    if (file_ != nullptr) {
        fclose(file_);
    }
    if (hand_back_) {
        fwrite(captured.data(), 1, captured.size(), fd_ == 1 ? stdout : stderr);
    }
}

std::string StreamCapture::text()
{
    flush_stream();
    std::string out;
    if (file_ == nullptr) {
        return out;
    }
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) {
        out.append(buf, n);
    }
    fseek(file_, 0, SEEK_END);
    return out;
}

void StreamCapture::restore()
{
    if (saved_ >= 0) {
        flush_stream();
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
}

void StreamCapture::flush_stream() const
{
    fflush(fd_ == 1 ? stdout : stderr);
}

} // namespace support
