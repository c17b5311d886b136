// list | info | reboot
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/commands.h"
#include "cli/unit_link.h"

namespace efis_cli {

using settings_file::hex32;

int list_units(Context& ctx, bool json)
{
    if (ctx.wait.count() > 0) {
        // Wait for the first unit to show, as any other command would.
        const auto deadline = std::chrono::steady_clock::now() + ctx.wait;
        while (operations::listed_units().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }
    const std::vector<operations::FoundUnit> units = operations::find_units(ctx.program);
    if (json) {
        nlohmann::ordered_json a = nlohmann::ordered_json::array();
        for (const operations::FoundUnit& u : units) {
            const bool identified = u.probe == operations::ConnectStep::Connected;
            const std::optional<uint32_t> serial =
                identified ? std::optional<uint32_t>(u.unit.serial) : u.listed_serial;
            nlohmann::ordered_json j;
            j["serial"] = serial ? nlohmann::ordered_json(hex32(*serial)) : nullptr;
            j["firmware"] = identified && u.unit.version_reported
                                ? nlohmann::ordered_json(operations::version_text(u.unit.firmware))
                                : nullptr;
            j["generation"] = identified ? nlohmann::ordered_json(u.unit.legacy ? "legacy" : "current") : nullptr;
            j["path"] = u.path;
            j["in_use_by"] = u.in_use_by ? nlohmann::ordered_json(holder_text(*u.in_use_by)) : nullptr;
            a.push_back(j);
        }
        ctx.io.out << a.dump(2) << "\n";
    } else {
        for (const operations::FoundUnit& u : units) {
            const bool identified = u.probe == operations::ConnectStep::Connected;
            const std::optional<uint32_t> serial =
                identified ? std::optional<uint32_t>(u.unit.serial) : u.listed_serial;
            std::string firmware = "-";
            std::string generation = "-";
            std::string state;
            if (identified) {
                firmware = u.unit.version_reported ? operations::version_text(u.unit.firmware) : "not reported";
                generation = u.unit.legacy ? "legacy" : "current";
            } else if (u.in_use_by) {
                state = "in use by " + holder_text(*u.in_use_by);
            } else if (u.probe == operations::ConnectStep::NotOpenable) {
                state = "found but could not be opened: " + u.open_error;
            } else {
                state = "did not answer the identity request";
            }
            char line[256];
            std::snprintf(line, sizeof line, "%-10s  %-12s  %-7s  %s", serial ? hex32(*serial).c_str() : "-",
                          firmware.c_str(), generation.c_str(), u.path.c_str());
            ctx.io.out << line << (state.empty() ? "" : "  " + state) << "\n";
        }
    }
    if (units.empty()) {
        return ctx.fail(kNoUnit, "no EFIS unit found");
    }
    return kDone;
}

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
