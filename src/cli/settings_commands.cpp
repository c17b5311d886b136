// settings show | backup | diff | restore | set
#include <algorithm>
#include <iomanip>
#include <iostream>

#include "cli/commands.h"
#include "cli/unit_link.h"

namespace efis_cli {

using settings_file::Document;
using settings_file::hex32;
using settings_file::Setting;

// Connects and reads the whole record; warns when the unit's checksum does not match it.
int read_unit(Context& ctx, Unit& unit, RecordRead* read)
{
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    if (const int status = read_record(ctx, unit, read); status != kDone) {
        return status;
    }
    if (!read->checksum_ok) {
        ctx.warn("warning: the unit's checksum " + hex32(read->unit_checksum) +
                 " does not match the record it holds; the values are shown as read");
    }
    return kDone;
}

int read_input(Context& ctx, const std::string& file, std::string* text)
{
    std::string error;
    if (file == "-") {
        // No more than the readers take: one byte past their limit is enough to refuse.
        text->assign(settings_file::kMaxFileBytes + 1, '\0');
        std::cin.read(text->data(), static_cast<std::streamsize>(text->size()));
        text->resize(static_cast<size_t>(std::cin.gcount()));
    } else if (!settings_file::read_settings_text(file, text, &error)) {
        return ctx.fail(kBadInput, file + ": " + error);
    }
    return kDone;
}

int read_file(Context& ctx, const std::string& file, Document* doc)
{
    std::string text;
    if (const int status = read_input(ctx, file, &text); status != kDone) {
        return status;
    }
    if (std::string error; !settings_file::read_document(text, doc, &error)) {
        return ctx.fail(kBadInput, (file == "-" ? std::string("standard input") : file) + ": " + error);
    }
    return kDone;
}

int parse_assignments(Context& ctx, const std::vector<std::string>& assignments, settings_file::Values* values)
{
    for (const std::string& a : assignments) {
        const Setting* s = nullptr;
        uint32_t words[3] = {};
        std::string error;
        if (!settings_file::parse_assignment(a, &s, words, &error)) {
            return ctx.fail(kBadInput, error);
        }
        if (values->names(*s)) {
            return ctx.fail(kBadInput, std::string(s->name) + ": given twice");
        }
        values->put(*s, words);
    }
    return kDone;
}

namespace {

// The file first, so that a refused one reaches no unit; then the unit and its whole record.
int read_file_and_unit(Context& ctx, const std::string& file, Document* doc, Unit& unit, RecordRead* read)
{
    if (const int status = read_file(ctx, file, doc); status != kDone) {
        return status;
    }
    return read_unit(ctx, unit, read);
}

// A note when the file was taken from another unit.
void note_other_unit(Context& ctx, const std::string& file, const Document& doc, const Unit& unit)
{
    if (doc.unit && doc.unit->serial && *doc.unit->serial != unit.id.serial) {
        ctx.note("note: " + file + " was taken from unit " + hex32(*doc.unit->serial) + "; this unit is " +
                 hex32(unit.id.serial));
    }
}

} // namespace

int settings_show(Context& ctx, bool json)
{
    Unit unit;
    RecordRead read;
    if (const int status = read_unit(ctx, unit, &read); status != kDone) {
        return status;
    }
    if (json) {
        ctx.io.out << settings_file::write_document(operations::backup_of(read, unit.id));
        return kDone;
    }
    const settings_file::Values values = settings_file::values_of(read.record);
    std::vector<std::string> texts;
    size_t width = 5;
    for (const Setting& s : settings_file::all_settings()) {
        texts.push_back(settings_file::setting_text(s, &values.word[s.first]));
        // The units object is far wider than the rest; it alone runs past its column.
        if (texts.back().size() <= 24) {
            width = std::max(width, texts.back().size());
        }
    }
    ctx.io.out << std::left << std::setw(22) << "SETTING"
               << "  " << std::setw(static_cast<int>(width)) << "VALUE"
               << "  INDEX\n";
    size_t i = 0;
    for (const Setting& s : settings_file::all_settings()) {
        ctx.io.out << std::setw(22) << s.name << "  " << std::setw(static_cast<int>(width)) << texts[i++] << "  "
                   << settings_file::index_text(s) << "\n";
    }
    return kDone;
}

void note_backup(Context& ctx, const char* what, const operations::UnitIdentity& unit, const std::string& file)
{
    const std::string firmware =
        unit.version_reported ? "firmware " + operations::version_text(unit.firmware) : "firmware not reported";
    ctx.note(std::string("Backed up the ") + what + " of unit " + hex32(unit.serial) + " (" + firmware + ") to " +
             (file == "-" ? std::string("standard output") : file));
}

int settings_backup(Context& ctx, const std::string& file)
{
    Unit unit;
    RecordRead read;
    if (const int status = read_unit(ctx, unit, &read); status != kDone) {
        return status;
    }
    const Document doc = operations::backup_of(read, unit.id);
    if (file == "-") {
        ctx.io.out << settings_file::write_document(doc);
    } else if (std::string error; !settings_file::write_document_file(file, doc, &error)) {
        return ctx.fail(kBadInput, error); // it names the file
    }
    note_backup(ctx, "settings", unit.id, file);
    return kDone;
}

int settings_diff(Context& ctx, const std::string& file, const std::string& other)
{
    if (!other.empty()) {
        return settings_diff_files(ctx, file, other);
    }
    Document doc;
    Unit unit;
    RecordRead read;
    if (const int status = read_file_and_unit(ctx, file, &doc, unit, &read); status != kDone) {
        return status;
    }
    note_other_unit(ctx, file, doc, unit);
    const settings_file::Values unit_values = settings_file::values_of(read.record);
    const auto changes = settings_file::differences(doc.settings, read.record);
    for (const Setting* s : changes) {
        ctx.io.out << s->name << ": unit " << settings_file::setting_text(*s, &unit_values.word[s->first]) << ", file "
                   << settings_file::setting_text(*s, &doc.settings.word[s->first]) << "\n";
    }
    if (changes.empty()) {
        ctx.note("The unit holds every setting in " + file + " (" + std::to_string(doc.settings.count()) +
                 " compared)");
        return kDone;
    }
    return kDifferences;
}

int settings_restore(Context& ctx, const std::string& file, const RestoreOptions& options)
{
    Document doc;
    Unit unit;
    RecordRead read;
    if (const int status = read_file_and_unit(ctx, file, &doc, unit, &read); status != kDone) {
        return status;
    }
    if (doc.record && doc.record->version && *doc.record->version != read.record.version) {
        const std::string text = file + " holds a record of version " + std::to_string(*doc.record->version) +
                                 ", the unit keeps version " + std::to_string(read.record.version);
        if (!options.force) {
            return ctx.fail(kBadInput, text + "; nothing was sent (--force restores it all the same)");
        }
        ctx.note("note: " + text + "; restoring it as --force asks");
    }
    const operations::FileValues taken =
        operations::values_from_file(doc, unit.id.serial, read.record, options.include_identity);
    if (taken.identity_kept.empty()) {
        note_other_unit(ctx, file, doc, unit);
    } else {
        std::string names;
        for (const Setting* s : taken.identity_kept) {
            names += (names.empty() ? "" : ", ") + std::string(s->name);
        }
        ctx.note("note: kept " + names + ": " +
                 (taken.origin == operations::FileOrigin::NoUnit
                      ? std::string("the file names no unit")
                      : "the file is from unit " + hex32(taken.file_serial)) +
                 " (use --include-identity to copy them)");
    }
    return write_settings(ctx, unit, read, taken.values, {options.dry_run, options.force, "restore"});
}

int settings_set(Context& ctx, const std::vector<std::string>& assignments, bool dry_run, bool force)
{
    settings_file::Values values;
    if (const int status = parse_assignments(ctx, assignments, &values); status != kDone) {
        return status;
    }
    Unit unit;
    RecordRead read;
    if (const int status = read_unit(ctx, unit, &read); status != kDone) {
        return status;
    }
    // Values named on the command line are meant, the aircraft's identity included.
    return write_settings(ctx, unit, read, values, {dry_run, force, "change"});
}

} // namespace efis_cli
