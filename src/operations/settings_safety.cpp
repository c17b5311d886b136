// What a settings file may change on a unit: everything it names, but the aircraft's identity only
// when the file was taken from this very unit, or when the user asks for it.
#include "efis_shared/get_set.h"
#include "operations/operations.h"

namespace operations {

namespace {

bool same_words(const settings_file::Setting& s, const settings_file::Values& values, const Settings_t& record)
{
    for (uint32_t i = s.first; i < s.first + s.count; ++i) {
        if (values.word[i] != settings_get_value(&record, static_cast<settings_struct_index>(i))) {
            return false;
        }
    }
    return true;
}

} // namespace

FileValues values_from_file(const settings_file::Document& doc, std::optional<uint32_t> unit_serial,
                            const Settings_t& current, bool copy_identity)
{
    FileValues out;
    out.values = doc.settings;
    if (doc.unit && doc.unit->serial) {
        out.file_serial = *doc.unit->serial;
        out.origin = unit_serial && *unit_serial == out.file_serial ? FileOrigin::ThisUnit : FileOrigin::OtherUnit;
    }
    if (copy_identity || out.origin == FileOrigin::ThisUnit) {
        return out;
    }
    for (const settings_file::CatalogueEntry& e : settings_file::catalogue()) {
        const settings_file::Setting& s = *e.setting;
        if (!e.identity || !doc.settings.names(s)) {
            continue;
        }
        if (!same_words(s, doc.settings, current)) {
            out.identity_kept.push_back(&s);
        }
        for (uint32_t i = s.first; i < s.first + s.count; ++i) {
            out.values.present[i] = false;
            out.values.word[i] = 0;
        }
    }
    return out;
}

} // namespace operations
