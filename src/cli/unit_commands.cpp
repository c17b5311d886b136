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
    const char* generation = unit.legacy ? "legacy" : "current";
    if (json) {
        nlohmann::ordered_json j;
        j["serial"] = hex32(unit.serial);
        j["firmware"] = version_text(unit.firmware);
        j["rc"] = unit.firmware.rc;
        j["generation"] = generation;
        j["record_version"] = read.record.version;
        j["num_elements"] = read.record.num_elements;
        j["checksum_ok"] = read.checksum_ok;
        ctx.io.out << j.dump(2) << "\n";
        return kDone;
    }
    // A unit that answers only the legacy identity request reports no version at all.
    const bool reported = !(unit.legacy && unit.firmware.version == 0);
    ctx.io.out << "serial:          " << hex32(unit.serial) << "\n"
               << "firmware:        "
               << (reported ? version_text(unit.firmware) + " (rc " + std::to_string(unit.firmware.rc) + ")"
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
    if (!send_reboot(&unit.comms)) {
        return ctx.fail(kUnitFailed, "the reboot command could not be sent");
    }
    ctx.note("Reboot command sent to unit " + hex32(unit.serial) + "; it restarts into its boot loader");
    return kDone;
}

} // namespace efis_cli
