// The connection checks: the program, the udev rule, what is on the bus, and each unit in turn, each
// saying what to do when it fails. A unit another program holds is never opened.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "comms/can_msg_ids.h"
#include "operations/operations.h"
#include "operations/version_gate.h"

namespace operations {

namespace {

std::string hex4(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
    return buf;
}

Check line(const char* check, CheckStatus status, std::string message, std::string fix = {})
{
    Check c;
    c.check = check;
    c.status = status;
    c.message = std::move(message);
    c.fix = std::move(fix);
    return c;
}

void program_check(const DoctorOptions& options, std::vector<Check>* out)
{
    std::string text = options.program + " " + options.version + ", hidapi " + USBHID::hidapiVersion();
    if (USBHID::hidapiVersion() != USBHID::hidapiBuildVersion()) {
        text += " (built against " + USBHID::hidapiBuildVersion() + ")";
    }
    out->push_back(line("program", CheckStatus::Note, text));
}

#ifdef __linux__
std::string usb_ids()
{
    return hex4(vendor_id) + ":" + hex4(product_id);
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

const char* kRuleFix = "Install the package, or copy 70-efis-config.rules from a source build to /etc/udev/rules.d, "
                       "then run 'sudo udevadm control --reload-rules && sudo udevadm trigger' and plug the unit in "
                       "again.";

// Every rule file in `dir` with a line that names the unit's vendor and product; `open_to_all`
// gets those that give the node mode 0666. A folder that does not exist holds none.
void rules_in(const std::filesystem::path& dir, std::vector<std::string>* found, std::vector<std::string>* open_to_all)
{
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) {
        return;
    }
    std::vector<std::filesystem::path> files;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) {
        throw std::runtime_error(dir.string() + " cannot be read: " + ec.message());
    }
    for (const auto& entry : it) {
        if (entry.path().extension() == ".rules") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    const std::string vid = lower(hex4(vendor_id));
    const std::string pid = lower(hex4(product_id));
    for (const auto& file : files) {
        std::ifstream in(file);
        bool names_unit = false;
        bool anyone = false;
        for (std::string text; std::getline(in, text);) {
            text = lower(text);
            const size_t start = text.find_first_not_of(" \t");
            if (start == std::string::npos || text[start] == '#') {
                continue;
            }
            if (text.find("\"" + vid + "\"") != std::string::npos &&
                text.find("\"" + pid + "\"") != std::string::npos) {
                names_unit = true;
                std::string packed;
                std::copy_if(text.begin(), text.end(), std::back_inserter(packed), [](char c) { return c != ' '; });
                anyone = anyone || packed.find("mode=\"0666\"") != std::string::npos ||
                         packed.find("mode:=\"0666\"") != std::string::npos;
            }
        }
        if (names_unit) {
            found->push_back(file.string());
        }
        if (anyone) {
            open_to_all->push_back(file.string());
        }
    }
}

void udev_check(const DoctorOptions& options, std::vector<Check>* out)
{
    const std::vector<std::string> dirs =
        options.udev_dirs.empty()
            ? std::vector<std::string>{"/usr/lib/udev/rules.d", "/etc/udev/rules.d", "/run/udev/rules.d"}
            : options.udev_dirs;
    std::vector<std::string> found;
    std::vector<std::string> open_to_all;
    int folders = 0;
    for (const std::string& dir : dirs) {
        const size_t before = found.size();
        rules_in(dir, &found, &open_to_all);
        folders += found.size() > before ? 1 : 0;
    }
    if (found.empty()) {
        out->push_back(
            line("udev_rule", CheckStatus::Note, "no udev rule for " + usb_ids() + " is installed", kRuleFix));
        return;
    }
    Check ok = line("udev_rule", CheckStatus::Ok, "udev rule " + found.front());
    ok.path = found.front();
    out->push_back(ok);
    if (folders > 1) {
        std::string list;
        for (const std::string& f : found) {
            list += (list.empty() ? "" : ", ") + f;
        }
        out->push_back(line("udev_rule", CheckStatus::Note,
                            "udev rules for " + usb_ids() + " in several folders: " + list,
                            "Keep one: a rule in /etc/udev/rules.d replaces one of the same name in "
                            "/usr/lib/udev/rules.d, and rules of other names all apply."));
    }
    for (const std::string& f : open_to_all) {
        Check c = line("udev_rule", CheckStatus::Note, f + " gives the unit's node mode 0666: anyone may open it",
                       "Give it MODE=\"0660\" and TAG+=\"uaccess\" as the package's rule does, so that only the "
                       "user at the seat may open the unit.");
        c.path = f;
        out->push_back(c);
    }
}
#endif

bool permission_denied(const std::string& path, const std::string& open_error)
{
#ifdef __linux__
    if (open_error.find("Permission denied") != std::string::npos) {
        return true;
    }
    return access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
#else
    (void)path;
    (void)open_error;
    return false;
#endif
}

std::string firmware_of(const UnitIdentity& id)
{
    return id.version_reported ? version_text(id.firmware) : std::string("not reported");
}

Check unit_line(const std::string& path, const UnitIdentity& id, const std::string& how)
{
    Check c = line("unit", CheckStatus::Ok,
                   "unit " + settings_file::hex32(id.serial) + ", firmware " + firmware_of(id) + " (" +
                       (id.legacy ? "legacy" : "current") + "), " + how);
    c.path = path;
    c.serial = id.serial;
    if (id.version_reported) {
        c.firmware = version_text(id.firmware);
    }
    c.generation = id.legacy ? "legacy" : "current";
    return c;
}

// Reads the record over `comms`; true when it read and its checksum verifies.
bool record_check(CommsManager* comms, const std::string& path, uint32_t serial, std::vector<Check>* out)
{
    const RecordRead r = read_settings(comms);
    Check c;
    if (!r.ok()) {
        c = line("record", CheckStatus::Fail,
                 "settings record: no answer to the read of " +
                     (r.step == ReadStep::Header ? "its header (index " + std::to_string(r.failed_index) + ")"
                                                 : index_name(r.failed_index)),
                 "Unplug the unit and plug it in again; if it still does not answer, save a support report for "
                 "whoever helps you.");
    } else {
        const std::string header = "settings record version " + std::to_string(r.record.version) + ", " +
                                   std::to_string(r.record.num_elements) + " elements, ";
        c = r.checksum_ok
                ? line("record", CheckStatus::Ok, header + "checksum verifies")
                : line("record", CheckStatus::Fail,
                       header + "checksum " + settings_file::hex32(r.unit_checksum) + " does not match the record",
                       "The unit holds values its checksum does not cover: restore a backup of its "
                       "settings, or save them again.");
    }
    c.path = path;
    c.serial = serial;
    out->push_back(c);
    return r.ok() && r.checksum_ok;
}

Check in_use_line(const std::string& path, const LockHolder& holder)
{
    Check c = line("unit", CheckStatus::Fail,
                   path + " is in use by " + holder.program + " (pid " + std::to_string(holder.pid) + ")",
                   "Close " + holder.program + ", or wait until it has finished with the unit, and check again.");
    c.path = path;
    return c;
}

std::string access_text(const NodeAccess& a)
{
    return a.mode + " " + a.owner + " " + a.group + "; this user is " + (a.in_group ? "" : "not ") + "in group " +
           a.group + " and has " + (a.acl_entry ? "an" : "no") + " ACL entry on it";
}

// One unit on the frame interface; true when it answered and its record read. `skipped` is set
// for a unit whose identity shows it is not the one asked for.
bool unit_check(const DoctorOptions& options, const FoundUnit& u, std::vector<Check>* out, bool* skipped)
{
    if (options.own_link != nullptr && u.path == options.own_path) {
        const UnitIdentity id = identity_of(*options.own_link);
        out->push_back(unit_line(u.path, id, "connected to " + options.program));
        return record_check(options.own_link, u.path, id.serial, out);
    }
    if (std::optional<LockHolder> holder = unit_lock_holder(u.path)) {
        out->push_back(in_use_line(u.path, *holder));
        return false;
    }
    LockAttempt attempt = take_unit_lock(u.path, options.program);
    if (attempt.outcome == LockOutcome::InUse) {
        out->push_back(in_use_line(u.path, attempt.holder));
        return false;
    }
    if (attempt.outcome == LockOutcome::Failed) {
        Check c =
            line("unit", CheckStatus::Fail, u.path + " was not opened: its lock could not be taken: " + attempt.error);
        c.path = u.path;
        out->push_back(c);
        return false;
    }
    CommsManager probe;
    const auto start = std::chrono::steady_clock::now();
    const bool answered = probe.establish_connection(u.path);
    const long elapsed = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (!answered) {
        const USBHID* usb = probe.getUSBHID();
        const auto failure = usb != nullptr ? usb->lastConnectFailure() : USBHID::ConnectFailure::NotFound;
        Check c;
        if (failure == USBHID::ConnectFailure::OpenFailed) {
            const std::string error = usb->openError();
            c = line("unit", CheckStatus::Fail, u.path + " cannot be opened: " + error,
                     "Unplug the unit and plug it in again, and check that no other program has it open.");
            if (permission_denied(u.path, error)) {
                if (const NodeAccess a = node_access(u.path); a.known) {
                    c.message += " (" + access_text(a) + ")";
                }
                c.fix = "Install the udev rule (see the udev rule line), then plug the unit in again; a rule that "
                        "gives access with uaccess reaches a session that was open before it only at a new login.";
            }
        } else if (failure == USBHID::ConnectFailure::None) {
            c = line("unit", CheckStatus::Fail, u.path + " does not answer WHOAMI",
                     "Unplug the unit and plug it in again; a unit in its boot loader does not answer until its "
                     "firmware has started.");
        } else {
            c = line("unit", CheckStatus::Fail, u.path + " left the bus before it could be opened",
                     "Check the cable and its connectors, and plug the unit in again.");
        }
        c.path = u.path;
        c.serial = u.listed_serial;
        out->push_back(c);
        return false;
    }
    const UnitIdentity id = identity_of(probe);
    if (options.serial && id.serial != *options.serial) {
        probe.disconnect();
        *skipped = true;
        return false;
    }
    Check c = unit_line(u.path, id, "answered in " + std::to_string(elapsed) + " ms");
    c.elapsed_ms = elapsed;
    out->push_back(c);
    const bool ok = record_check(&probe, u.path, id.serial, out);
    probe.disconnect();
    return ok;
}

// A check that throws is its own failure; the others still run.
template <typename F> void guarded(const char* check, std::vector<Check>* out, F f)
{
    try {
        f();
    } catch (const std::exception& e) {
        out->push_back(line(check, CheckStatus::Fail, std::string("the check failed: ") + e.what()));
    } catch (...) {
        out->push_back(line(check, CheckStatus::Fail, "the check failed"));
    }
}

} // namespace

NodeAccess node_access(const std::string& node)
{
    NodeAccess a;
#ifndef _WIN32
    struct stat st {};
    if (stat(node.c_str(), &st) != 0) {
        return a;
    }
    a.known = true;
    a.mode = S_ISCHR(st.st_mode) ? "c" : S_ISBLK(st.st_mode) ? "b" : S_ISDIR(st.st_mode) ? "d" : "-";
    const char* rwx = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        a.mode += (st.st_mode & (0400 >> bit)) != 0 ? rwx[bit] : '-';
    }
    const passwd* pw = getpwuid(st.st_uid);
    a.owner = pw != nullptr ? pw->pw_name : std::to_string(st.st_uid);
    const group* gr = getgrgid(st.st_gid);
    a.group = gr != nullptr ? gr->gr_name : std::to_string(st.st_gid);
    a.in_group = st.st_gid == getegid();
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(n, 0)));
    if (n > 0 && getgroups(n, groups.data()) == n) {
        a.in_group = a.in_group || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
#ifdef __linux__
    // The access ACL as the kernel keeps it: a version word, then (tag, permissions, id) entries.
    unsigned char acl[512];
    const ssize_t len = getxattr(node.c_str(), "system.posix_acl_access", acl, sizeof acl);
    for (ssize_t at = 4; len > 0 && at + 8 <= len; at += 8) {
        const unsigned tag = acl[at] | (acl[at + 1] << 8);
        const uint32_t id = static_cast<uint32_t>(acl[at + 4]) | (static_cast<uint32_t>(acl[at + 5]) << 8) |
                            (static_cast<uint32_t>(acl[at + 6]) << 16) | (static_cast<uint32_t>(acl[at + 7]) << 24);
        a.acl_entry = a.acl_entry || (tag == 0x02 && id == geteuid()); // ACL_USER
    }
#endif
#else
    (void)node;
#endif
    return a;
}

DoctorResult run_checks(const DoctorOptions& options)
{
    const KeepVersionGate cache;
    DoctorResult result;
    std::vector<Check>& out = result.checks;
    guarded("program", &out, [&] { program_check(options, &out); });
#ifdef __linux__
    guarded("udev_rule", &out, [&] { udev_check(options, &out); });
#endif
    std::vector<FoundUnit> units;
    guarded("bus", &out, [&] {
        const std::vector<USBHID::Interface> all = USBHID::listInterfaces(vendor_id, product_id);
        units = listed_units();
        if (units.empty()) {
            out.push_back(
                line("bus", CheckStatus::Fail,
                     "no EFIS unit is on USB (vendor " + hex4(vendor_id) + ", product " + hex4(product_id) + ")",
                     "Check the USB cable (a charging cable carries power but no data), plug the unit into "
                     "a powered port of the computer rather than a passive hub, and switch the unit on."));
            for (const USBHID::Interface& i : all) {
                Check c = line("bus", CheckStatus::Note,
                               i.path + " has the unit's ids on usage page 0x" + hex4(i.usage_page) +
                                   ", not 0xFF00: a unit in its boot loader, or another device");
                c.path = i.path;
                out.push_back(c);
            }
            return;
        }
        out.push_back(line("bus", CheckStatus::Ok,
                           std::to_string(units.size()) + (units.size() == 1 ? " EFIS unit" : " EFIS units") +
                               " on USB (vendor " + hex4(vendor_id) + ", product " + hex4(product_id) + ")"));
    });
    if (units.empty()) {
        return result;
    }
    bool all_ready = true;
    bool any_checked = false;
    for (const FoundUnit& u : units) {
        if (options.serial && u.listed_serial && *u.listed_serial != *options.serial) {
            continue;
        }
        cache.restore();
        bool skipped = false;
        bool ready = false;
        guarded("unit", &out, [&] { ready = unit_check(options, u, &out, &skipped); });
        if (!skipped) {
            any_checked = true;
            all_ready = all_ready && ready;
        }
    }
    if (!any_checked && options.serial) {
        out.push_back(line("unit", CheckStatus::Fail,
                           "no EFIS unit with serial " + settings_file::hex32(*options.serial) + " is on USB",
                           "Check the serial number: the unit's own is on its label and in the list of units."));
    }
    result.ready = any_checked && all_ready;
    return result;
}

const char* check_status_text(CheckStatus status)
{
    switch (status) {
    case CheckStatus::Ok:
        return "ok";
    case CheckStatus::Fail:
        return "FAIL";
    case CheckStatus::Note:
        break;
    }
    return "note";
}

std::string checks_text(const std::vector<Check>& checks)
{
    std::string text;
    for (const Check& c : checks) {
        text += std::string(check_status_text(c.status)) + "  " + c.message + "\n";
        if (!c.fix.empty()) {
            text += "      " + c.fix + "\n";
        }
    }
    return text;
}

} // namespace operations
