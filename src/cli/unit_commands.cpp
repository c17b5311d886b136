// info | reboot
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/unit_link.h"

namespace efis_cli {

using settings_file::hex32;

int info(Context& ctx, bool json)
{
    Unit unit;
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    RecordRead read;
    if (const int status = read_record(ctx, unit, &read); status != kDone) {
        return status;
    }
    const operations::UnitIdentity& id = unit.id;
    const char* generation = id.legacy ? "legacy" : "current";
    if (json) {
        nlohmann::ordered_json j;
        j["serial"] = hex32(id.serial);
        // A unit that answers only the legacy identity request reports no version at all.
        j["firmware"] = id.version_reported ? nlohmann::ordered_json(operations::version_text(id.firmware)) : nullptr;
        j["rc"] = id.version_reported ? nlohmann::ordered_json(id.firmware.rc) : nullptr;
        j["generation"] = generation;
        j["record_version"] = read.record.version;
        j["num_elements"] = read.record.num_elements;
        j["checksum_ok"] = read.checksum_ok;
        ctx.io.out << j.dump(2) << "\n";
        return kDone;
    }
    ctx.io.out << "serial:          " << hex32(id.serial) << "\n"
               << "firmware:        "
               << (id.version_reported
                       ? operations::version_text(id.firmware) + " (rc " + std::to_string(id.firmware.rc) + ")"
                       : std::string("not reported (legacy identity reply)"))
               << "\n"
               << "generation:      " << generation << "\n"
               << "record version:  " << read.record.version << "\n"
               << "elements:        " << read.record.num_elements << "\n"
               << "checksum:        " << hex32(read.unit_checksum)
               << (read.checksum_ok ? " (verifies)" : " (does not match the record)") << "\n";
    return kDone;
}

int reboot(Context& ctx)
{
    Unit unit;
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    if (!operations::reboot_unit(&unit.comms)) {
        return ctx.fail(kUnitFailed, "the reboot command could not be sent");
    }
    ctx.note("Reboot command sent to unit " + hex32(unit.id.serial) + "; it restarts into its boot loader");
    return kDone;
}

} // namespace efis_cli
