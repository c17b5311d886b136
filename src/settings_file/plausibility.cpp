// Settings that each fit their field but cannot all be right together: a stall speed above the
// never-exceed speed, a low-voltage warning above the high one.
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"

namespace settings_file {

namespace {

struct Rule {
    const char* low;
    const char* high;
    bool strict; // low < high rather than low <= high
};

constexpr Rule kRules[] = {
    {"vs0", "vs1", false},
    {"vs1", "vn0", true},
    {"vn0", "vne", false},
    {"vfe", "vne", false},
    {"vlo", "vne", false},
    {"vs0", "vfe", true},
    {"min_volts_alert", "min_volts_warning", false},
    {"min_volts_warning", "max_volts_warning", true},
    {"max_volts_warning", "max_volts_alert", false},
};

} // namespace

std::vector<std::string> implausible_values(const Settings_t& record)
{
    std::vector<std::string> lines;
    for (const Rule& rule : kRules) {
        const Setting& low = *find_setting(rule.low);
        const Setting& high = *find_setting(rule.high);
        const uint32_t a = settings_get_value(&record, low.first);
        const uint32_t b = settings_get_value(&record, high.first);
        // A speed or threshold of 0 is one not set: nothing to compare it with.
        if (a == 0 || b == 0 || (rule.strict ? a < b : a <= b)) {
            continue;
        }
        lines.push_back(std::string(rule.low) + " " + setting_text(low, &a) +
                        (rule.strict ? " is not below " : " is above ") + rule.high + " " + setting_text(high, &b));
    }
    return lines;
}

} // namespace settings_file
