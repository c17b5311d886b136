// Indexed access to the settings and calibration records with any record contents (header words
// included), any index and any value. Every access stays inside its record; a store changes only
// the field its index names and the checksum, reads back as the field's width keeps it, and
// leaves the checksum of the record as stored.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "efis_shared/get_set.h"

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

template <class T> std::unique_ptr<T> record_from(const uint8_t* data, size_t size)
{
    // On the heap and exactly its size, so that any access past the record is caught.
    auto r = std::make_unique<T>();
    std::memset(r.get(), 0, sizeof(T));
    std::memcpy(r.get(), data, size < sizeof(T) ? size : sizeof(T));
    return r;
}

// Bytes of the settings field behind an index, and the part of a word it keeps.
struct Span {
    size_t offset, width;
    uint32_t mask;
};

bool settings_span(uint32_t index, Span* s)
{
    if (index >= VMIN_INDEX && index <= VLO_INDEX) {
        *s = {offsetof(Settings_t, vspeeds) + (index - VMIN_INDEX), 1, 0xFFu};
    } else if (index == MIN_VOLTS_INDEX || index == MAX_VOLTS_INDEX) {
        *s = {offsetof(Settings_t, volt_warnings) + 2 * (index - MIN_VOLTS_INDEX), 2, 0xFFFFu};
    } else if (index == MIN_VOLTS_ALERT_INDEX || index == MAX_VOLTS_ALERT_INDEX) {
        *s = {offsetof(Settings_t, volt_alerts) + 2 * (index - MIN_VOLTS_ALERT_INDEX), 2, 0xFFFFu};
    } else if (index >= REGISTRATION_1_INDEX && index <= REGISTRATION_3_INDEX) {
        *s = {offsetof(Settings_t, registration) + 4 * (index - REGISTRATION_1_INDEX), 4, 0xFFFFFFFFu};
    } else if (index == UNITS_VALUE_INDEX) {
        *s = {offsetof(Settings_t, units), 4, 0xFFFFFFFFu};
    } else if (index >= SKY_COLOR_0_INDEX && index <= PITCH_CORRECTION_INDEX) {
        *s = {offsetof(Settings_t, sky_color) + 4 * (index - SKY_COLOR_0_INDEX), 4, 0xFFFFFFFFu};
    } else if (index >= TEXT_BG_ALPHA_INDEX && index <= MAP_DIR_INDEX) {
        *s = {offsetof(Settings_t, text_bg_alpha) + 4 * (index - TEXT_BG_ALPHA_INDEX), 4, 0xFFFFFFFFu};
    } else if (index >= SETTINGS_CHECKSUM_INDEX && index <= SETTINGS_NUM_ELEMENTS) {
        *s = {4 * (index - SETTINGS_CHECKSUM_INDEX), 4, 0xFFFFFFFFu};
    } else {
        return false;
    }
    return true;
}

void settings_case(const uint8_t* data, size_t size, uint32_t index, uint32_t value)
{
    const auto original = record_from<Settings_t>(data, size);
    const auto record = record_from<Settings_t>(data, size);
    settings_CalcCRC(record.get());
    const auto idx = static_cast<settings_struct_index>(index);
    const uint32_t before = settings_get_value(record.get(), idx);

    uint32_t v = value;
    const bool stored = settings_set_value(record.get(), idx, &v);
    Span span{};
    const bool has_field = settings_span(index, &span);
    check(stored == has_field && v == value);
    if (!has_field) {
        check(before == 0xFFFFFFFFu);
        check(std::memcmp(record.get(), original.get(), sizeof(Settings_t)) == 0);
        return;
    }
    if (index != SETTINGS_CHECKSUM_INDEX) {
        check(settings_get_value(record.get(), idx) == (value & span.mask));
    }
    // The checksum is that of the stored record, computed while crc32 still held its previous word
    // (or the given one, for the checksum's own index): an erased record's word gives 0.
    auto prior = record_from<Settings_t>(reinterpret_cast<const uint8_t*>(record.get()), sizeof(Settings_t));
    prior->crc32 = index == SETTINGS_CHECKSUM_INDEX ? value : original->crc32;
    check(record->crc32 == settings_CalcCRC(prior.get()));
    // Nothing but the field and the checksum moved.
    const auto* a = reinterpret_cast<const uint8_t*>(original.get());
    const auto* b = reinterpret_cast<const uint8_t*>(record.get());
    for (size_t i = 4; i < sizeof(Settings_t); ++i) {
        check(a[i] == b[i] || (i >= span.offset && i < span.offset + span.width));
    }
}

void calibration_case(const uint8_t* data, size_t size, uint32_t index, uint32_t value)
{
    const auto record = record_from<SENSOR_CALIB_t>(data, size);
    const auto idx = static_cast<sensor_calib_struct_index>(index);
    calib_get_value(record.get(), idx);
    uint32_t v = value;
    if (calib_set_value(record.get(), idx, &v)) {
        check(calib_get_value(record.get(), idx) == value);
    }
}

} // namespace

// Input: index (4 bytes), value (4 bytes), then the record's bytes (zeros where the input ends).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    uint32_t index, value;
    std::memcpy(&index, data, 4);
    std::memcpy(&value, data + 4, 4);
    settings_case(data + 8, size - 8, index, value);
    calibration_case(data + 8, size - 8, index, value);
    return 0;
}
