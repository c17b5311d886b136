// settings list: every setting a unit keeps, with its record indices, its unit of measure, what the
// window offers for it and the forms a settings file takes. No unit needed.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "cli/context.h"
#include "settings_file/settings_file.h"

namespace efis_cli {

using nlohmann::ordered_json;
using settings_file::CatalogueEntry;
using settings_file::WindowField;

namespace {

const char* kind_name(WindowField::Kind k)
{
    switch (k) {
    case WindowField::Kind::Range:
        return "range";
    case WindowField::Kind::Items:
        return "items";
    case WindowField::Kind::RadioButtons:
        return "radio_buttons";
    case WindowField::Kind::Text:
        return "text";
    case WindowField::Kind::ColourPicker:
        return "colour_picker";
    }
    return "";
}

ordered_json field_json(const WindowField& f)
{
    ordered_json j;
    j["widget"] = f.widget;
    j["kind"] = kind_name(f.kind);
    switch (f.kind) {
    case WindowField::Kind::Range:
        if (f.decimals == 0) {
            j["minimum"] = static_cast<int>(f.minimum);
            j["maximum"] = static_cast<int>(f.maximum);
        } else {
            j["minimum"] = f.minimum;
            j["maximum"] = f.maximum;
        }
        j["decimals"] = f.decimals;
        break;
    case WindowField::Kind::Items:
    case WindowField::Kind::RadioButtons:
        j["items"] = ordered_json::array();
        for (const char* item : f.items) {
            j["items"].push_back(item);
        }
        break;
    case WindowField::Kind::Text:
    case WindowField::Kind::ColourPicker:
        j["takes"] = f.takes;
        break;
    }
    return j;
}

ordered_json entry_json(const CatalogueEntry& e)
{
    const settings_file::Setting& s = *e.setting;
    ordered_json j;
    j["name"] = s.name;
    j["indices"] = ordered_json::array();
    for (unsigned k = 0; k < s.count; ++k) {
        j["indices"].push_back(s.first + k);
    }
    j["unit"] = settings_file::measure_name(e.measure);
    j["identity"] = e.identity;
    j["window"] = ordered_json::array();
    for (const WindowField& f : e.window) {
        j["window"].push_back(field_json(f));
    }
    j["window_offers"] = settings_file::window_offers(e);
    j["forms"] = settings_file::setting_forms(s);
    return j;
}

std::string joined(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& p : parts) {
        text += (text.empty() ? "" : separator) + p;
    }
    return text;
}

} // namespace

int settings_list(Context& ctx, bool json)
{
    if (json) {
        ordered_json all = ordered_json::array();
        for (const CatalogueEntry& e : settings_file::catalogue()) {
            all.push_back(entry_json(e));
        }
        ctx.io.out << all.dump(2) << "\n";
        return kDone;
    }
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows{{"SETTING", "INDEX", "UNIT", "IDENTITY", "WINDOW", "FILE"}};
    for (const CatalogueEntry& e : settings_file::catalogue()) {
        rows.push_back({e.setting->name, settings_file::index_text(*e.setting), settings_file::measure_name(e.measure),
                        e.identity ? "yes" : "", settings_file::window_offers(e),
                        joined(settings_file::setting_forms(*e.setting), " | ")});
    }
    std::array<size_t, 6> width{};
    for (const Row& r : rows) {
        for (size_t c = 0; c < r.size(); ++c) {
            width[c] = std::max(width[c], r[c].size());
        }
    }
    for (const Row& r : rows) {
        std::string line;
        for (size_t c = 0; c + 1 < r.size(); ++c) {
            line += r[c] + std::string(width[c] - r[c].size() + 2, ' ');
        }
        ctx.io.out << line << r.back() << "\n";
    }
    return kDone;
}

} // namespace efis_cli
