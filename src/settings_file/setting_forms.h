// Internal to the settings-file module: reading one setting with the key path its messages name.
#pragma once

#include <string>
#include <string_view>

#include "settings_file/settings_file.h"

namespace settings_file {

bool parse_setting_at(const Setting& s, const nlohmann::json& value, uint32_t* words, std::string_view path,
                      std::string* error);

} // namespace settings_file
