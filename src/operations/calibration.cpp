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

} // namespace operations
