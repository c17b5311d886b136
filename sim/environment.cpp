#include "sim/environment.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "sim/demo_unit.h"

namespace sim {

namespace {

// Longer than anyone waits for a cable, short enough that a time point cannot overflow.
constexpr uint64_t kMaxMs = 24ull * 3600 * 1000;

template <typename T> std::optional<T> parse(std::string_view text, int base, uint64_t max)
{
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max) {
        return std::nullopt;
    }
    return static_cast<T>(v);
}

std::optional<uint32_t> parse_serial(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    return text.size() <= 8 ? parse<uint32_t>(text, 16, 0xFFFFFFFFu) : std::nullopt;
}

} // namespace

SimEnvironment read_environment(std::vector<std::string>* problems, const EnvironmentLookup& lookup)
{
    const auto get = [&](const char* name) -> std::optional<std::string> {
        const char* v = lookup ? lookup(name) : std::getenv(name);
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto complain = [&](const char* name, const std::string& value, const char* wanted) {
        if (problems != nullptr) {
            problems->push_back(std::string(name) + "=" + value + " is not " + wanted + "; ignored");
        }
    };
    const auto milliseconds = [&](const char* name) -> std::optional<std::chrono::milliseconds> {
        const auto text = get(name);
        if (!text) {
            return std::nullopt;
        }
        const auto ms = parse<uint64_t>(*text, 10, kMaxMs);
        if (!ms) {
            complain(name, *text, "a time in milliseconds");
            return std::nullopt;
        }
        return std::chrono::milliseconds(*ms);
    };
    const auto flag = [&](const char* name) {
        const auto text = get(name);
        if (text && *text != "0" && *text != "1") {
            complain(name, *text, "0 or 1");
        }
        return text && *text == "1";
    };

    SimEnvironment env;
    if (const auto text = get("EFIS_SIM_SERIALS")) {
        std::vector<uint32_t> serials;
        bool ok = true;
        for (std::string_view rest = *text; ok;) {
            const size_t comma = rest.find(',');
            const auto serial = parse_serial(rest.substr(0, comma));
            ok = serial && std::find(serials.begin(), serials.end(), *serial) == serials.end();
            if (ok) {
                serials.push_back(*serial);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
        if (ok) {
            env.serials = serials;
        } else {
            complain("EFIS_SIM_SERIALS", *text, "a list of distinct serial numbers such as 0x00C0FFEE,0x0BADF00D");
        }
    }
    env.presence.present_after = milliseconds("EFIS_SIM_PRESENT_AFTER_MS");
    env.presence.unplug_at = milliseconds("EFIS_SIM_UNPLUG_AT_MS");
    env.presence.replug_at = milliseconds("EFIS_SIM_REPLUG_AT_MS");
    env.restart_time = milliseconds("EFIS_SIM_RESTART_MS").value_or(env.restart_time);
    env.reject_images = flag("EFIS_SIM_REJECT_IMAGES");
    env.update_resets_settings = flag("EFIS_SIM_UPDATE_RESETS_SETTINGS");
    if (const auto text = get("EFIS_SIM_UPDATE_RECORD_VERSION")) {
        env.update_record_version = parse<uint32_t>(*text, 10, 0xFFFFFFFFu);
        if (!env.update_record_version) {
            complain("EFIS_SIM_UPDATE_RECORD_VERSION", *text, "a record version number");
        }
    }
    return env;
}

std::vector<std::shared_ptr<VirtualUnit>> make_units(const SimEnvironment& env,
                                                     std::chrono::steady_clock::time_point start)
{
    std::vector<std::shared_ptr<VirtualUnit>> units;
    const std::vector<std::optional<uint32_t>> serials =
        env.serials.empty() ? std::vector<std::optional<uint32_t>>{std::nullopt}
                            : std::vector<std::optional<uint32_t>>(env.serials.begin(), env.serials.end());
    for (const std::optional<uint32_t>& serial : serials) {
        auto unit = make_demo_unit();
        if (serial) {
            unit->set_serial(*serial);
        }
        unit->schedule_presence(env.presence, start);
        unit->set_restart_time(env.restart_time);
        unit->set_reject_images(env.reject_images);
        unit->set_update_resets_settings(env.update_resets_settings);
        unit->set_update_record_version(env.update_record_version);
        units.push_back(std::move(unit));
    }
    return units;
}

} // namespace sim
