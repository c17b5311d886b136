// doctor | report: what a person looks at, or sends, when the unit does not work as it should.
#include <nlohmann/json.hpp>

#include <iostream>

#include "cli/commands.h"
#include "cli/unit_link.h"

#ifndef EFIS_VERSION
#define EFIS_VERSION "0"
#endif

namespace efis_cli {

namespace {

operations::DoctorOptions doctor_options(const Context& ctx)
{
    operations::DoctorOptions o;
    o.program = ctx.program;
    o.version = EFIS_VERSION;
    o.serial = ctx.serial;
    return o;
}

} // namespace

int doctor(Context& ctx, bool json)
{
    const operations::DoctorResult r = operations::run_checks(doctor_options(ctx));
    if (!json) {
        ctx.io.out << operations::checks_text(r.checks);
    } else {
        nlohmann::ordered_json a = nlohmann::ordered_json::array();
        for (const operations::Check& c : r.checks) {
            nlohmann::ordered_json j;
            j["check"] = c.check;
            j["status"] = operations::check_status_text(c.status);
            j["message"] = c.message;
            j["fix"] = c.fix.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(c.fix);
            if (!c.path.empty()) {
                j["path"] = c.path;
            }
            if (c.serial) {
                j["serial"] = settings_file::hex32(*c.serial);
            }
            if (c.firmware) {
                j["firmware"] = *c.firmware;
            }
            if (c.generation) {
                j["generation"] = *c.generation;
            }
            if (c.elapsed_ms) {
                j["elapsed_ms"] = *c.elapsed_ms;
            }
            a.push_back(j);
        }
        ctx.io.out << a.dump(2) << "\n";
    }
    return r.ready ? kDone : kNoUnit;
}

int report(Context& ctx, const std::string& file, bool include_identity)
{
    // The unit the report describes, if one answers; none is no failure: the report says so.
    Unit unit;
    const operations::UnitChoice choice{ctx.serial, false, ctx.program};
    operations::Connection c = operations::connect_unit(&unit.comms, choice);
    if (c.ok()) {
        unit.lock = std::move(c.lock);
    } else {
        ctx.note("No unit connected; the report says so and holds everything else.");
    }
    operations::ReportOptions options;
    options.program = ctx.program;
    options.version = EFIS_VERSION;
    options.include_identity = include_identity;
    options.doctor = doctor_options(ctx);
    options.unit_link = c.ok() ? &unit.comms : nullptr;
    options.serial = ctx.serial;
    const operations::Report r = operations::support_report(options);
    unit.comms.disconnect();

    if (file == "-") {
        ctx.io.out << r.text;
        return kDone;
    }
    const std::string path = file.empty() ? operations::default_report_name(r.serial, options.now) : file;
    std::string error;
    if (!settings_file::write_file_safely(path, r.text, &error)) {
        return ctx.fail(kBadInput, error);
    }
    ctx.note("Support report written to " + path);
    return kDone;
}

} // namespace efis_cli
