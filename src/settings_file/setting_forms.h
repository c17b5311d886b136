// Internal to the settings-file module: reading one setting with the key path its messages name.
#pragma once

#include <string>
#include <string_view>

#include "settings_file/settings_file.h"

namespace settings_file {

// How a setting's words are read and written.
enum class Form {
    Units,
    Speed, // one byte
    Volts, // tenths of a volt in 16 bits, written in volts
    Registration,
    Colour,
    Integer, // a plain 32-bit number
    Degrees, // IEEE-754 single
    Icao,    // 24-bit address
    AddressType,
    Emitter,
    Termination,
    MapOrientation,
};
Form form_of(const Setting& s);

// Containers a settings file or value may nest; a file needs three (the document, "settings",
// "units"). Deeper text is refused before it is made into values: printing a value in a message
// recurses once per level, and a file of a few hundred kilobytes could nest deep enough to
// overflow the stack.
inline constexpr int kMaxNesting = 16;

// What a pass over JSON text finds before any value is made of it.
struct JsonShape {
    bool too_deep = false; // nests past kMaxNesting (the pass stops there)
    std::string repeated;  // "path: the key \"k\" appears twice" for the first repeated key, or empty
    std::string malformed; // the parser's message for malformed text, or empty
};
JsonShape json_shape(std::string_view text);

bool parse_setting_at(const Setting& s, const nlohmann::json& value, uint32_t* words, std::string_view path,
                      std::string* error);

} // namespace settings_file
