// The conversions between record words and what people read, kept once for the settings file and
// the window's form.
#include <bit>
#include <cstdint>
#include <cstdio>

#include "efis_shared/settings_types.h"
#include "settings_file/settings_file.h"

namespace settings_file {

void registration_bytes(const uint32_t* words, uint8_t* bytes)
{
    for (unsigned k = 0; k < 3; ++k) {
        for (unsigned b = 0; b < 4; ++b) {
            bytes[4 * k + b] = static_cast<uint8_t>(words[k] >> (24 - 8 * b));
        }
    }
}

void registration_words(const uint8_t* bytes, uint32_t* words)
{
    for (unsigned k = 0; k < 3; ++k) {
        words[k] = uint32_t{bytes[4 * k]} << 24 | uint32_t{bytes[4 * k + 1]} << 16 | uint32_t{bytes[4 * k + 2]} << 8 |
                   uint32_t{bytes[4 * k + 3]};
    }
}

uint32_t units_with(uint32_t word, unsigned airspeed, unsigned altitude, unsigned temperature, unsigned pressure)
{
    units_t u;
    u.units_value = word;
    u.unit_bits.is_mph = airspeed == 0;
    u.unit_bits.is_knots = airspeed == 1;
    u.unit_bits.is_kph = airspeed == 2;
    u.unit_bits.is_meters = altitude == 1;
    u.unit_bits.is_feet = altitude != 1;
    u.unit_bits.is_celsius = temperature == 1;
    u.unit_bits.is_fahrenheit = temperature != 1;
    u.unit_bits.is_mbar = pressure == 1;
    u.unit_bits.is_inhg = pressure != 1;
    return u.units_value;
}

uint32_t tenths_of_volts(double volts)
{
    // Converting a value beyond the integer's range is undefined; no field holds such a value.
    const double tenths = volts * 10.0;
    if (!(tenths > -9.0e18 && tenths < 9.0e18)) {
        return 0;
    }
    return static_cast<uint32_t>(static_cast<int64_t>(tenths));
}

double volts_of_tenths(uint32_t tenths)
{
    return tenths / 10.0;
}

uint32_t degrees_bits(double degrees)
{
    return std::bit_cast<uint32_t>(static_cast<float>(degrees));
}

float degrees_of(uint32_t bits)
{
    return std::bit_cast<float>(bits);
}

std::string colour_rgb_text(uint32_t word)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%06x", static_cast<unsigned>(word & 0x00FFFFFFu));
    return buf;
}

uint32_t opaque_colour(uint32_t rgb)
{
    return 0xFF000000u | (rgb & 0x00FFFFFFu);
}

std::string icao_text(uint32_t word)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%06X", static_cast<unsigned>(word & 0x00FFFFFFu));
    return buf;
}

} // namespace settings_file
