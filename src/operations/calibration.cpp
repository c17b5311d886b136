// The unit's sensor calibration, read word by word. Nothing here writes it: how the unit computes
// its block checksums is the unit's business.
#include "efis_shared/get_set.h"
#include "operations/operations.h"

namespace operations {

CalibrationRead read_calibration(CommsManager* comms)
{
    CalibrationRead r;
    for (uint32_t index = 0; index <= 0xFF; ++index) {
        if (!calib_index_has_field(index)) {
            continue;
        }
        uint32_t word = 0;
        if (!read_value(comms, SENSOR_COMMS, static_cast<uint8_t>(index), &word)) {
            r.failed_index = index;
            r.complete = false;
            return r;
        }
        r.words[index] = word;
    }
    return r;
}

settings_file::CalibrationDocument calibration_backup(const CalibrationRead& read, const UnitIdentity& unit)
{
    return {unit_info(unit), read.words};
}

std::vector<CalibrationChange> calibration_differences(const settings_file::Calibration& kept,
                                                       const settings_file::Calibration& now)
{
    std::vector<CalibrationChange> changes;
    for (const auto& [index, word] : kept) {
        const auto it = now.find(index);
        if (it == now.end() || it->second != word) {
            // A word the unit no longer answers for reads as erased.
            changes.push_back({index, word, it == now.end() ? 0xFFFFFFFFu : it->second});
        }
    }
    return changes;
}

} // namespace operations
