// calibration show | backup | diff: the unit's sensor calibration, read only.
#include <nlohmann/json.hpp>

#include <iomanip>
#include <iostream>

#include "cli/commands.h"
#include "cli/unit_link.h"

namespace efis_cli {

using settings_file::CalibrationDocument;
using settings_file::hex32;

namespace {

int read_unit_calibration(Context& ctx, Unit& unit, operations::CalibrationRead* read)
{
    if (const int status = connect_unit(ctx, unit); status != kDone) {
        return status;
    }
    *read = operations::read_calibration(&unit.comms);
    if (!read->ok()) {
        return ctx.fail(kUnitFailed, "the unit did not answer the read of " +
                                         settings_file::calibration_word_name(read->failed_index));
    }
    return kDone;
}

std::string file_name(const std::string& file)
{
    return file == "-" ? std::string("standard input") : file;
}

int read_calibration_file(Context& ctx, const std::string& file, CalibrationDocument* doc)
{
    std::string text;
    if (const int status = read_input(ctx, file, &text); status != kDone) {
        return status;
    }
    if (std::string error; !settings_file::read_calibration_document(text, doc, &error)) {
        return ctx.fail(kBadInput, file_name(file) + ": " + error);
    }
    return kDone;
}

} // namespace

int calibration_show(Context& ctx, bool json)
{
    Unit unit;
    operations::CalibrationRead read;
    if (const int status = read_unit_calibration(ctx, unit, &read); status != kDone) {
        return status;
    }
    if (json) {
        nlohmann::ordered_json a = nlohmann::ordered_json::array();
        for (const settings_file::CalibrationField& f : settings_file::calibration_fields()) {
            const uint32_t word = read.words.at(f.index);
            a.push_back({{"index", f.index},
                         {"name", f.name},
                         {"block", settings_file::calibration_block_name(f.block)},
                         {"raw", hex32(word)},
                         {"value", settings_file::calibration_value_json(f, word)}});
        }
        ctx.io.out << a.dump(2) << "\n";
        return kDone;
    }
    ctx.io.out << std::left << "  " << std::setw(26) << "WORD" << std::right << std::setw(5) << "INDEX"
               << "  " << std::left << std::setw(14) << "VALUE"
               << "  RAW\n";
    for (const settings_file::CalibrationBlockView& b : settings_file::calibration_view(read.words)) {
        ctx.io.out << b.name << (b.blank ? ": blank" : "") << "\n";
        for (const settings_file::CalibrationField* f : b.fields) {
            const uint32_t word = read.words.at(f->index);
            ctx.io.out << "  " << std::left << std::setw(26) << f->name << std::right << std::setw(5) << f->index
                       << "  " << std::left << std::setw(14) << settings_file::calibration_value_text(*f, word) << "  "
                       << hex32(word) << "\n";
        }
    }
    return kDone;
}

int calibration_backup(Context& ctx, const std::string& file)
{
    Unit unit;
    operations::CalibrationRead read;
    if (const int status = read_unit_calibration(ctx, unit, &read); status != kDone) {
        return status;
    }
    const CalibrationDocument doc = operations::calibration_backup(read, unit.id);
    if (file == "-") {
        ctx.io.out << settings_file::write_calibration_document(doc);
    } else if (std::string error; !settings_file::write_calibration_document_file(file, doc, &error)) {
        return ctx.fail(kBadInput, error); // it names the file
    }
    note_backup(ctx, "calibration", unit.id, file);
    return kDone;
}

int calibration_diff(Context& ctx, const std::string& file)
{
    // The file first, so that a refused one reaches no unit.
    CalibrationDocument doc;
    if (const int status = read_calibration_file(ctx, file, &doc); status != kDone) {
        return status;
    }
    Unit unit;
    operations::CalibrationRead read;
    if (const int status = read_unit_calibration(ctx, unit, &read); status != kDone) {
        return status;
    }
    if (doc.unit && doc.unit->serial && *doc.unit->serial != unit.id.serial) {
        ctx.note("note: " + file_name(file) + " was taken from unit " + hex32(*doc.unit->serial) + "; this unit is " +
                 hex32(unit.id.serial));
    }
    const auto changes = operations::calibration_differences(doc.calibration, read.words);
    for (const operations::CalibrationChange& c : changes) {
        const settings_file::CalibrationField& f = *settings_file::calibration_field(c.index);
        ctx.io.out << settings_file::calibration_word_name(c.index) << ": file "
                   << settings_file::calibration_value_text(f, c.before) << ", unit "
                   << settings_file::calibration_value_text(f, c.after) << "\n";
    }
    if (changes.empty()) {
        ctx.note("The unit holds every calibration word in " + file_name(file) + " (" +
                 std::to_string(doc.calibration.size()) + " compared)");
        return kDone;
    }
    return kDifferences;
}

} // namespace efis_cli
