// The support report: one text file with everything whoever helps needs to know, the aircraft's
// identity withheld unless asked for.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#ifndef _WIN32
#include <sys/utsname.h>
#endif

#include "operations/operations.h"

#ifndef EFIS_BUILD_TYPE
#define EFIS_BUILD_TYPE ""
#endif

namespace operations {

namespace {

constexpr const char* kNoUnit = "no unit connected\n";
constexpr const char* kWithheld = "(withheld)";
constexpr size_t kBackupFiles = 10;
constexpr size_t kLogLines = 500;

std::string section(const char* name)
{
    return std::string("\n== ") + name + " ==\n";
}

#ifndef _WIN32
std::string os_release()
{
    std::ifstream in("/etc/os-release");
    for (std::string text; std::getline(in, text);) {
        if (text.rfind("PRETTY_NAME=", 0) == 0) {
            text.erase(0, 12);
            if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'')) {
                text = text.substr(1, text.size() - 2);
            }
            return text;
        }
    }
    return "unknown";
}

#endif

std::string system_text()
{
#ifndef _WIN32
    std::string text = "os: " + os_release() + "\n";
    utsname u{};
    if (uname(&u) == 0) {
        text += std::string("kernel: ") + u.sysname + " " + u.release + "\narchitecture: " + u.machine + "\n";
    }
#else
    std::string text = "os: Windows\n";
#endif
    return text;
}

// The registration as the record holds it: up to 11 characters, ended by 0x00 or 0xFF.
std::string registration_of(const Settings_t& record)
{
    std::string text;
    for (size_t i = 0; i < 11 && i < sizeof record.registration; ++i) {
        const auto c = static_cast<unsigned char>(record.registration[i]);
        if (c == 0x00 || c == 0xFF) {
            break;
        }
        text += static_cast<char>(c);
    }
    return text;
}

std::string unit_text(const UnitIdentity& id, const std::string& path, const RecordRead& read)
{
    std::string text = "serial: " + settings_file::hex32(id.serial) + "\n";
    text += "firmware: " +
            (id.version_reported ? version_text(id.firmware) + " (rc " + std::to_string(id.firmware.rc) + ")"
                                 : std::string("not reported (legacy identity reply)")) +
            "\n";
    text += std::string("generation: ") + (id.legacy ? "legacy" : "current") + "\n";
    text += "path: " + path + "\n";
    if (!read.ok()) {
        return text + "record: not read; the unit did not answer the read of " + index_name(read.failed_index) + "\n";
    }
    text += "record version: " + std::to_string(read.record.version) + "\n";
    text += "elements: " + std::to_string(read.record.num_elements) + "\n";
    text += "checksum: " + settings_file::hex32(read.unit_checksum) +
            (read.checksum_ok ? " (verifies)" : " (does not match the record)") + "\n";
    return text;
}

std::string settings_text(const RecordRead& read, const UnitIdentity& id, bool include_identity)
{
    if (!read.ok()) {
        return "not read\n";
    }
    const std::string doc = settings_file::write_document(backup_of(read, id));
    if (include_identity) {
        return doc;
    }
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(doc);
    for (const char* key : {"registration", "ownship_icao"}) {
        if (j["settings"].contains(key)) {
            j["settings"][key] = kWithheld;
        }
    }
    return j.dump(2) + "\n";
}

// Every word, grouped and named as `calibration show` prints it.
std::string calibration_text(CommsManager* link)
{
    const CalibrationRead cal = read_calibration(link);
    std::string text;
    for (const settings_file::CalibrationBlockView& b : settings_file::calibration_view(cal.words)) {
        text += std::string(b.name) + (b.blank ? ": blank" : "") + "\n";
        for (const settings_file::CalibrationField* f : b.fields) {
            const uint32_t word = cal.words.at(f->index);
            text += "  " + settings_file::calibration_word_name(f->index) + ": " +
                    settings_file::calibration_value_text(*f, word) + "  " + settings_file::hex32(word) + "\n";
        }
    }
    if (!cal.complete) {
        text += "the unit did not answer the read of " + settings_file::calibration_word_name(cal.failed_index) + "\n";
    }
    return text;
}

std::string backups_text(std::optional<uint32_t> serial)
{
    struct Entry {
        std::filesystem::path path;
        std::filesystem::file_time_type time;
        std::uintmax_t size;
    };
    std::vector<Entry> entries;
    const std::filesystem::path state = state_directory();
    for (const char* kind : {"backups", "history"}) {
        const std::filesystem::path dir = serial ? state / kind / serial_folder(*serial) : state / kind;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code e;
            if (it->is_regular_file(e)) {
                entries.push_back({it->path(), it->last_write_time(e), it->file_size(e)});
            }
        }
    }
    if (entries.empty()) {
        return "none\n";
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.time > b.time; });
    entries.resize(std::min(entries.size(), kBackupFiles));
    std::string text;
    for (const Entry& e : entries) {
        const auto sys = std::chrono::file_clock::to_sys(e.time);
        text += e.path.string() + "  " +
                local_time_text(std::chrono::time_point_cast<std::chrono::system_clock::duration>(sys),
                                "%Y-%m-%dT%H:%M:%S") +
                "  " + std::to_string(e.size) + " bytes\n";
    }
    return text;
}

// The last lines of a program's log, its previous file first.
std::vector<std::string> log_tail(const std::string& program)
{
    std::vector<std::string> lines;
    const std::string path = program_log_path(program);
    for (const std::string& file : {path + ".1", path}) {
        std::ifstream in(file);
        for (std::string text; std::getline(in, text);) {
            lines.push_back(std::move(text));
        }
    }
    if (lines.size() > kLogLines) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(kLogLines));
    }
    return lines;
}

std::string log_text()
{
    std::vector<std::string> lines = log_tail("efis-config");
    std::vector<std::string> cli = log_tail("efis-cli");
    lines.insert(lines.end(), cli.begin(), cli.end());
    // Every line starts with its time, written so that its text sorts as the time does.
    std::stable_sort(lines.begin(), lines.end(),
                     [](const std::string& a, const std::string& b) { return a.compare(0, 23, b, 0, 23) < 0; });
    if (lines.size() > kLogLines) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(kLogLines));
    }
    std::string text;
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    return text.empty() ? "empty\n" : text;
}

void replace_all(std::string* text, const std::string& what, bool any_case)
{
    if (what.empty()) {
        return;
    }
    const auto same = [any_case](char a, char b) {
        return any_case ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                        : a == b;
    };
    for (auto at = text->begin();;) {
        at = std::search(at, text->end(), what.begin(), what.end(), same);
        if (at == text->end()) {
            return;
        }
        const auto offset = at - text->begin();
        text->replace(at, at + static_cast<std::ptrdiff_t>(what.size()), kWithheld);
        at = text->begin() + offset + static_cast<std::ptrdiff_t>(std::char_traits<char>::length(kWithheld));
    }
}

} // namespace

std::string withhold_identity(std::string text, const std::string& registration, const std::string& icao)
{
    replace_all(&text, registration, false);
    replace_all(&text, icao, true);
    // Whatever a command line or a debug line gave as the identity, whichever unit it was for.
    static const std::regex given(R"((registration=|ownship_icao=|Created string: )\S+)", std::regex::icase);
    return std::regex_replace(text, given, std::string("$1") + kWithheld);
}

std::string default_report_name(std::optional<uint32_t> serial, std::chrono::system_clock::time_point now)
{
    return "efis-report-" + (serial ? serial_folder(*serial) : std::string("no-unit")) + "-" +
           local_time_text(now, "%Y-%m-%dT%H-%M-%S") + ".txt";
}

Report support_report(const ReportOptions& options)
{
    Report report;
    std::string text = "EFIS support report, " + local_time_text(options.now, "%Y-%m-%dT%H:%M:%S") + "\n";

    text += section("program");
    text += "name: " + options.program + "\nversion: " + options.version + "\n";
    text += std::string("build type: ") + (EFIS_BUILD_TYPE[0] != '\0' ? EFIS_BUILD_TYPE : "unspecified") + "\n";
    text += "Qt: " + (options.qt_version.empty() ? std::string("not used") : options.qt_version) + "\n";
    text += "hidapi: " + USBHID::hidapiVersion() + " (built against " + USBHID::hidapiBuildVersion() + ")\n";

    text += section("system");
    text += system_text();

    DoctorOptions doctor = options.doctor;
    std::string path;
    if (options.unit_link != nullptr) {
        const USBHID* usb = options.unit_link->getUSBHID();
        path = usb != nullptr ? usb->path() : std::string();
        doctor.own_link = options.unit_link;
        doctor.own_path = path;
    }
    text += section("checks");
    text += checks_text(run_checks(doctor).checks);

    std::string registration;
    std::string icao;
    if (options.unit_link != nullptr) {
        const UnitIdentity id = identity_of(*options.unit_link);
        report.serial = id.serial;
        const RecordRead read = read_settings(options.unit_link);
        if (read.ok()) {
            registration = registration_of(read.record);
            icao = settings_file::icao_text(read.record.ownship_icao);
        }
        text += section("unit") + unit_text(id, path, read);
        text += section("settings") + settings_text(read, id, options.include_identity);
        text += section("calibration") + calibration_text(options.unit_link);
    } else {
        report.serial = options.serial;
        text += section("unit") + kNoUnit + section("settings") + kNoUnit + section("calibration") + kNoUnit;
    }
    text += section("backups") + backups_text(report.serial);
    text += section("log") + log_text();

    report.text = options.include_identity ? text : withhold_identity(text, registration, icao);
    return report;
}

} // namespace operations
