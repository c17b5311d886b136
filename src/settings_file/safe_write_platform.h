// Internal to the settings-file module: what writing a file safely needs from the platform. One
// implementation per platform, picked by the build.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace settings_file::platform {

// Puts `bytes` in the place of `target`, which is a regular file or nothing (links resolved
// already): a new file with a unique name in target's directory, written, synced, and renamed over
// it. `shown` is the name messages give the file. On failure the old file is untouched and no new
// file is left.
bool replace_file(const std::filesystem::path& target, const std::string& shown, std::string_view bytes,
                  std::string* error);

// How messages name the directory of `target`.
std::string directory_text(const std::filesystem::path& target);

} // namespace settings_file::platform
