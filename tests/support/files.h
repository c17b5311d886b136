// Files for uploads: firmware images, recognisable contents and a temporary directory for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "efis_shared/firmware.h"

namespace support {

// Never 0xFF, so an unwritten erased flash byte cannot pass for file content.
std::vector<uint8_t> pattern(size_t n);

// A firmware file as the upload reads it: the header, then the image bytes.
std::vector<uint8_t> firmware_image(const firmware_header_t& header, const std::vector<uint8_t>& body);

// A fresh directory under the system's temporary directory, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made.
    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` to the file `name` in the directory, then stretches the file (sparse) to
    // `size` bytes when given. The file's path, or "" when it could not be written.
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes, long size = -1) const;

private:
    std::filesystem::path path_;
};

} // namespace support
