// The settings file reader with any text: a refusal always says why, and a document it accepts
// comes back with the same values when written and read again (the written text itself is then
// stable). The same text as a command-line NAME=VALUE: an accepted value survives its own file
// form and its one-line form; and as a calibration file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings_file/settings_file.h"

using namespace settings_file;

namespace {

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

bool same_values(const Values& a, const Values& b)
{
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (a.present[i] != b.present[i] || (a.present[i] && a.word[i] != b.word[i])) {
            return false;
        }
    }
    return true;
}

bool same_unit(const std::optional<UnitInfo>& a, const std::optional<UnitInfo>& b)
{
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    const auto fw = [](const std::optional<fwversion_t>& f) { return f ? std::optional(f->version) : std::nullopt; };
    return a->serial == b->serial && fw(a->firmware) == fw(b->firmware) && a->rc == b->rc;
}

bool same_record(const std::optional<RecordInfo>& a, const std::optional<RecordInfo>& b)
{
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || (a->version == b->version && a->num_elements == b->num_elements && a->checksum == b->checksum);
}

void document_round_trip(std::string_view text)
{
    Document doc;
    std::string error;
    if (!read_document(text, &doc, &error)) {
        check(!error.empty());
        return;
    }
    const std::string written = write_document(doc);
    Document again;
    std::string again_error;
    check(read_document(written, &again, &again_error));
    check(same_values(doc.settings, again.settings));
    check(same_unit(doc.unit, again.unit));
    check(same_record(doc.record, again.record));
    check(write_document(again) == written);
}

// A calibration file (or a settings file's calibration block) likewise.
void calibration_round_trip(std::string_view text)
{
    CalibrationDocument doc, again;
    std::string error;
    if (!read_calibration_document(text, &doc, &error)) {
        check(!error.empty());
        return;
    }
    check(read_calibration_document(write_calibration_document(doc), &again, &error));
    check(again.calibration == doc.calibration && same_unit(doc.unit, again.unit));
}

bool same_words(const Setting& s, const uint32_t* a, const uint32_t* b)
{
    for (unsigned k = 0; k < s.count; ++k) {
        if (a[k] != b[k]) {
            return false;
        }
    }
    return true;
}

void assignment_round_trip(std::string_view text)
{
    const Setting* s = nullptr;
    uint32_t words[3] = {};
    std::string error;
    if (!parse_assignment(text, &s, words, &error)) {
        check(!error.empty());
        return;
    }
    check(s != nullptr && s->count >= 1 && s->count <= 3);
    uint32_t back[3] = {};
    std::string back_error;
    check(parse_setting(*s, nlohmann::json::parse(setting_json(*s, words).dump()), back, &back_error));
    check(same_words(*s, words, back));
    const Setting* again = nullptr;
    uint32_t line[3] = {};
    check(parse_assignment(std::string(s->name) + "=" + setting_text(*s, words), &again, line, &back_error));
    check(again == s && same_words(*s, words, line));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    document_round_trip(text);
    calibration_round_trip(text);
    assignment_round_trip(text);
    return 0;
}
