// settings history | undo, and the settings files that need no unit: diff FILE OTHER, edit
#include <iostream>

#include "cli/commands.h"
#include "cli/unit_link.h"

namespace efis_cli {

using nlohmann::ordered_json;
using settings_file::Document;
using settings_file::hex32;
using settings_file::Setting;

int settings_history(Context& ctx, bool json, size_t limit)
{
    // A serial given needs no unit: the history is on this computer.
    uint32_t serial = 0;
    if (ctx.serial) {
        serial = *ctx.serial;
    } else {
        Unit unit;
        if (const int status = connect_unit(ctx, unit); status != kDone) {
            return status;
        }
        serial = unit.id.serial;
    }
    std::vector<operations::HistoryEntry> entries = operations::list_history(serial);
    const bool none = entries.empty();
    if (entries.size() > limit) {
        entries.resize(limit);
    }
    if (json) {
        ordered_json list = ordered_json::array();
        for (const operations::HistoryEntry& e : entries) {
            ordered_json item = {{"time", e.time}, {"path", e.path}};
            item.update(e.change);
            list.push_back(std::move(item));
        }
        ctx.io.out << list.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
    } else {
        for (const operations::HistoryEntry& e : entries) {
            ctx.io.out << e.time << "  " << e.change.value("program", std::string("?")) << "  "
                       << e.change.value("command", std::string("?")) << "  " << e.outcome() << "  "
                       << operations::history_changes_text(e.change) << "\n";
        }
    }
    if (none) {
        ctx.note("No settings history for unit " + hex32(serial) + " in " + operations::history_directory(serial));
    }
    return kDone;
}

int settings_undo(Context& ctx, bool dry_run)
{
    Unit unit;
    RecordRead read;
    if (const int status = read_unit(ctx, unit, &read); status != kDone) {
        return status;
    }
    const std::vector<operations::HistoryEntry> entries = operations::list_history(unit.id.serial);
    const operations::HistoryEntry* target = operations::undo_target(entries);
    if (target == nullptr) {
        return ctx.fail(kNothingToUndo, "nothing to undo");
    }
    const Document& doc = target->before;
    if (doc.record && doc.record->version && *doc.record->version != read.record.version) {
        return ctx.fail(kBadInput, target->path + " holds a record of version " + std::to_string(*doc.record->version) +
                                       ", the unit keeps version " + std::to_string(read.record.version) +
                                       "; nothing was sent");
    }
    ctx.note("Undoing " + target->change.value("command", std::string("?")) + " of " + target->time + " (" +
             target->path + ")");
    // The unit held this record, identity and all: it is neither kept back nor judged again.
    return write_settings(ctx, unit, read, doc.settings, {dry_run, false, "undo", false});
}

int settings_diff_files(Context& ctx, const std::string& file, const std::string& other)
{
    if (file == "-" && other == "-") {
        return ctx.fail(kBadInput, "standard input can be only one of the two files");
    }
    Document a;
    Document b;
    if (const int status = read_file(ctx, file, &a); status != kDone) {
        return status;
    }
    if (const int status = read_file(ctx, other, &b); status != kDone) {
        return status;
    }
    const auto text = [](const Document& d, const Setting& s) {
        return d.settings.names(s) ? settings_file::setting_text(s, &d.settings.word[s.first]) : "not named";
    };
    size_t differing = 0;
    size_t compared = 0;
    for (const Setting& s : settings_file::all_settings()) {
        if (!a.settings.names(s) && !b.settings.names(s)) {
            continue;
        }
        ++compared;
        if (a.settings.names(s) && b.settings.names(s) &&
            std::equal(&a.settings.word[s.first], &a.settings.word[s.first] + s.count, &b.settings.word[s.first])) {
            continue;
        }
        ++differing;
        ctx.io.out << s.name << ": " << file << " " << text(a, s) << ", " << other << " " << text(b, s) << "\n";
    }
    if (differing == 0) {
        ctx.note("The two files hold the same settings (" + std::to_string(compared) + " compared)");
        return kDone;
    }
    return kDifferences;
}

int settings_edit(Context& ctx, const std::string& file, const std::vector<std::string>& assignments, bool force)
{
    settings_file::Values values;
    if (const int status = parse_assignments(ctx, assignments, &values); status != kDone) {
        return status;
    }
    std::string text;
    std::string error;
    Document doc;
    if (!settings_file::read_settings_text(file, &text, &error) || !settings_file::read_document(text, &doc, &error)) {
        return ctx.fail(kBadInput, file + ": " + error);
    }
    // The settings the file names, after the edit; a setting it does not name is not set, so
    // the plausibility rules that need it are skipped.
    Settings_t named{};
    settings_file::Values after = doc.settings;
    for (const Setting& s : settings_file::all_settings()) {
        if (values.names(s)) {
            after.put(s, &values.word[s.first]);
        }
    }
    settings_file::apply(after, &named);
    if (const std::vector<std::string> broken = settings_file::implausible_values(named); !broken.empty()) {
        if (!force) {
            const int status = ctx.fail(kBadInput, "the settings would not be plausible together; nothing was written "
                                                   "(--force writes them all the same):");
            for (const std::string& line : broken) {
                ctx.warn("  " + line);
            }
            return status;
        }
        ctx.warn("warning: the settings are not plausible together; they are written as --force asks:");
        for (const std::string& line : broken) {
            ctx.warn("  " + line);
        }
    }

    // The file's own JSON is edited, so that its other keys and blocks stay as they are.
    ordered_json j = ordered_json::parse(text);
    std::vector<std::string> lines;
    for (const Setting& s : settings_file::all_settings()) {
        if (!values.names(s)) {
            continue;
        }
        const uint32_t* words = &values.word[s.first];
        if (doc.settings.names(s) && std::equal(words, words + s.count, &doc.settings.word[s.first])) {
            continue;
        }
        if (const auto note = settings_file::window_note(s, words)) {
            ctx.note("note: " + *note);
        }
        lines.push_back(std::string(s.name) + ": " +
                        (doc.settings.names(s) ? settings_file::setting_text(s, &doc.settings.word[s.first])
                                               : std::string("not named")) +
                        " -> " + settings_file::setting_text(s, words));
        j["settings"][s.name] = settings_file::setting_json(s, words);
    }
    if (lines.empty()) {
        ctx.note(file + " already holds every setting given; nothing was written.");
        return kDone;
    }
    if (!settings_file::write_file_safely(file, j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n",
                                          &error)) {
        return ctx.fail(kBadInput, error);
    }
    for (const std::string& line : lines) {
        ctx.io.out << line << "\n";
    }
    ctx.note("Wrote " + std::to_string(lines.size()) + " changed setting(s) to " + file);
    return kDone;
}

} // namespace efis_cli
