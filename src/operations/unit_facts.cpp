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

settings_file::RecordInfo record_info(const RecordRead& read)
{
    return settings_file::RecordInfo{read.record.version, read.record.num_elements, read.unit_checksum};
}

settings_file::Document backup_of(const RecordRead& read, const UnitIdentity& unit)
{
    return settings_file::backup_document(read.record, unit_info(unit), record_info(read));
}

std::string index_name(uint32_t index)
{
    for (const settings_file::Setting& s : settings_file::all_settings()) {
        if (index >= s.first && index < s.first + s.count) {
            return std::string(s.name) + " (index " + std::to_string(index) + ")";
        }
    }
    return "index " + std::to_string(index);
}

const char* commit_step_text(CommitStep step)
{
    switch (step) {
    case CommitStep::NotConnected:
        return "the unit is not connected";
    case CommitStep::ReadVersion:
    case CommitStep::ReadNumElements:
        return "the unit did not answer the read of its record version";
    case CommitStep::Send:
        return "the save command could not be sent";
    case CommitStep::Erase:
        return "the unit did not confirm erasing its settings area";
    case CommitStep::Confirm:
        return "the unit did not confirm the save";
    case CommitStep::Done:
        break;
    }
    return "the save succeeded";
}

} // namespace operations
