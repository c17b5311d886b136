// What a settings file may change on a unit: everything it names, but the aircraft's identity only
// when the file was taken from this very unit, or when the user asks for it.
#include <algorithm>

#include "operations/operations.h"

namespace operations {

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
    const std::vector<const settings_file::Setting*> differing = settings_file::differences(doc.settings, current);
    for (const settings_file::CatalogueEntry& e : settings_file::catalogue()) {
        const settings_file::Setting& s = *e.setting;
        if (!e.identity || !doc.settings.names(s)) {
            continue;
        }
        if (std::find(differing.begin(), differing.end(), &s) != differing.end()) {
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
