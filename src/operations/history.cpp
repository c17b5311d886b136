// The settings history: one entry per commit, written before the first value goes out, so that
// whatever happens to the commit the record the unit held before it is in a file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "operations/operations.h"

namespace operations {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

constexpr const char* kProbeName = ".writable";

// "2026-12-07T12-03-11.042": local time, sorting as it runs, and usable as a file name anywhere.
std::string entry_stem(std::chrono::system_clock::time_point when)
{
    return local_time_text(when, "%Y-%m-%dT%H-%M-%S", true);
}

// Whether a file name is one of ours: <stem>.json with the stem entry_stem() writes.
bool entry_name(const std::string& name)
{
    constexpr size_t kStem = 23; // yyyy-MM-ddTHH-mm-ss.mmm
    if (name.size() != kStem + 5 || name.compare(kStem, 5, ".json") != 0) {
        return false;
    }
    for (size_t i = 0; i < kStem; ++i) {
        const char c = name[i];
        const bool digit = c >= '0' && c <= '9';
        const bool want_digit = i != 4 && i != 7 && i != 10 && i != 13 && i != 16 && i != 19;
        if (digit != want_digit) {
            return false;
        }
    }
    return name[10] == 'T' && name[19] == '.';
}

// The unit's entries by file name, oldest first.
std::vector<fs::path> entry_files(uint32_t serial)
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(history_directory(serial), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && entry_name(it->path().filename().string())) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool make_directory(const fs::path& dir, std::string* error)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        *error = "cannot create " + dir.string() + ": " + (ec ? ec.message() : std::string("not a directory"));
        return false;
    }
    return true;
}

bool write_entry(HistoryEntryFile* entry)
{
    const std::string text = entry->document.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
    return settings_file::write_file_safely(entry->path, text, &entry->error);
}

void prune(uint32_t serial)
{
    const std::vector<fs::path> files = entry_files(serial);
    for (size_t i = 0; i + kHistoryKept < files.size(); ++i) {
        std::error_code ec;
        fs::remove(files[i], ec);
    }
}

// "2026-12-07T12-03-11.042" as people read it: "2026-12-07 12:03:11".
std::string readable_time(const std::string& stem)
{
    std::string t = stem.substr(0, 19);
    t[10] = ' ';
    t[13] = ':';
    t[16] = ':';
    return t;
}

} // namespace

std::string history_directory(uint32_t serial)
{
    return (fs::path(state_directory()) / "history" / serial_folder(serial)).string();
}

bool history_writable(uint32_t serial, std::string* error)
{
    const fs::path dir = history_directory(serial);
    if (!make_directory(dir, error)) {
        return false;
    }
    const fs::path probe = dir / kProbeName;
    if (!settings_file::write_file_safely(probe.string(), "", error)) {
        return false;
    }
    std::error_code ec;
    fs::remove(probe, ec);
    return true;
}

HistoryEntryFile start_history_entry(const UnitIdentity& unit, const Settings_t& before,
                                     std::optional<settings_file::RecordInfo> header, const Settings_t& after,
                                     const HistoryRequest& request)
{
    HistoryEntryFile entry;
    entry.serial = unit.serial;
    const settings_file::Values from = settings_file::values_of(before);
    const settings_file::Values to = settings_file::values_of(after);
    ordered_json changes = ordered_json::array();
    for (const settings_file::Setting& s : settings_file::all_settings()) {
        if (!std::equal(&from.word[s.first], &from.word[s.first] + s.count, &to.word[s.first])) {
            changes.push_back({{"setting", s.name},
                               {"from", settings_file::setting_json(s, &from.word[s.first])},
                               {"to", settings_file::setting_json(s, &to.word[s.first])}});
        }
    }
    if (changes.empty()) {
        return entry;
    }
    const fs::path dir = history_directory(unit.serial);
    if (!make_directory(dir, &entry.error)) {
        return entry;
    }
    auto when = std::chrono::system_clock::now();
    fs::path path = dir / (entry_stem(when) + ".json");
    std::error_code ec;
    for (int n = 0; fs::exists(path, ec) && n < 1000; ++n) {
        when += std::chrono::milliseconds(1);
        path = dir / (entry_stem(when) + ".json");
    }
    entry.path = path.string();
    entry.document = ordered_json::parse(
        settings_file::write_document(settings_file::backup_document(before, unit_info(unit), header)));
    entry.document["change"] = {{"program", request.program},
                                {"command", request.command},
                                {"outcome", "pending"},
                                {"changes", std::move(changes)}};
    entry.written = write_entry(&entry);
    return entry;
}

bool finish_history_entry(HistoryEntryFile* entry, const std::string& outcome)
{
    entry->document["change"]["outcome"] = outcome;
    const bool ok = write_entry(entry);
    prune(entry->serial);
    return ok;
}

std::string history_outcome(const Application& a)
{
    switch (a.step) {
    case ApplyStep::Done:
        return "committed";
    case ApplyStep::Stopped:
        return "stopped";
    case ApplyStep::Send:
        return "failed: send";
    case ApplyStep::Commit:
        return "failed: commit";
    case ApplyStep::Verify:
        return "failed: verify";
    case ApplyStep::NotConnected:
        return "failed: not connected";
    case ApplyStep::NothingToDo:
    case ApplyStep::History:
        break;
    }
    return "failed";
}

Application apply_settings_recorded(CommsManager* comms, const UnitIdentity& unit, const RecordRead& before,
                                    const settings_file::Values& values, const HistoryRequest& request,
                                    const ValueObserver& observer)
{
    HistoryEntryFile entry;
    if (request.record) {
        const ApplyPlan plan = plan_apply(before, values);
        if (plan.commit_needed) {
            entry = start_history_entry(unit, before.record, record_info(before), plan.intended, request);
            if (!entry.written && !entry.error.empty()) {
                Application refused;
                refused.plan = plan;
                refused.step = ApplyStep::History;
                refused.history_error = entry.error;
                return refused;
            }
        }
    }
    Application a = apply_settings(comms, before, values, observer);
    if (entry.written) {
        a.history_path = entry.path;
        if (!finish_history_entry(&entry, history_outcome(a))) {
            a.history_error = entry.error;
        }
    }
    return a;
}

std::string HistoryEntry::outcome() const
{
    const auto it = change.find("outcome");
    return it != change.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<HistoryEntry> list_history(uint32_t serial)
{
    std::vector<HistoryEntry> entries;
    const std::vector<fs::path> files = entry_files(serial);
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        HistoryEntry e;
        std::string text;
        std::string error;
        if (!settings_file::read_settings_text(it->string(), &text, &error) ||
            !settings_file::read_document(text, &e.before, &error)) {
            continue;
        }
        const ordered_json j = ordered_json::parse(text, nullptr, false);
        if (j.is_discarded() || !j.contains("change") || !j["change"].is_object()) {
            continue;
        }
        e.path = it->string();
        e.time = readable_time(it->filename().string());
        e.change = j["change"];
        entries.push_back(std::move(e));
    }
    return entries;
}

const HistoryEntry* undo_target(const std::vector<HistoryEntry>& entries)
{
    for (const HistoryEntry& e : entries) {
        if (e.outcome() == "committed") {
            return &e;
        }
    }
    return nullptr;
}

std::string history_changes_text(const ordered_json& change)
{
    const auto it = change.find("changes");
    if (it == change.end() || !it->is_array()) {
        return {};
    }
    constexpr size_t kShown = 4;
    std::string text;
    size_t n = 0;
    for (const ordered_json& c : *it) {
        if (n++ == kShown) {
            break;
        }
        const auto value = [&](const char* key) {
            return c.contains(key) ? c[key].dump(-1, ' ', false, ordered_json::error_handler_t::replace) : "?";
        };
        text += (text.empty() ? "" : ", ") + c.value("setting", std::string("?")) + " " + value("from") + " -> " +
                value("to");
    }
    if (it->size() > kShown) {
        text += " and " + std::to_string(it->size() - kShown) + " more";
    }
    return text;
}

} // namespace operations
