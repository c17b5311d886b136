#include "tests/support/files.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace support {

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 7 + i / 251) % 0xFF;
    }
    return v;
}

std::vector<uint8_t> firmware_image(const firmware_header_t& header, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out(sizeof header + body.size());
    std::memcpy(out.data(), &header, sizeof header);
    std::copy(body.begin(), body.end(), out.begin() + sizeof header);
    return out;
}

TempDir::TempDir()
{
    std::error_code ec;
    std::string t = (std::filesystem::temp_directory_path(ec) / "efis-test-XXXXXX").string();
    if (!ec && mkdtemp(t.data()) != nullptr) {
        path_ = t;
    }
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::write(const std::string& name, const std::vector<uint8_t>& bytes, long size) const
{
    if (path_.empty()) {
        return {};
    }
    const std::string path = (path_ / name).string();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return {};
    }
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (size < 0 || (fflush(f) == 0 && ftruncate(fileno(f), size) == 0)) && ok;
    ok = fclose(f) == 0 && ok;
    return ok ? path : std::string();
}

} // namespace support
