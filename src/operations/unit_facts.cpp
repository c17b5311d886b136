#include "operations/operations.h"

namespace operations {

settings_file::UnitInfo unit_info(const UnitIdentity& unit)
{
    settings_file::UnitInfo info;
    info.serial = unit.serial;
    if (unit.version_reported) {
        info.firmware = unit.firmware;
        info.rc = unit.firmware.rc;
    }
    return info;
}

} // namespace operations
