#include "cli/sim_unit.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "settings_file/settings_file.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"

namespace efis_cli {

namespace {

constexpr const char* kStateFormat = "efis-cli-sim unit state";
constexpr size_t kWords = sizeof(Settings_t) / 4;

nlohmann::json words_of(const Settings_t& s)
{
    uint32_t w[kWords];
    std::memcpy(w, &s, sizeof s);
    nlohmann::json a = nlohmann::json::array();
    for (uint32_t v : w) {
        a.push_back(settings_file::hex32(v));
    }
    return a;
}

bool record_of(const nlohmann::json& a, Settings_t* out)
{
    if (!a.is_array() || a.size() != kWords) {
        return false;
    }
    uint32_t w[kWords];
    for (size_t i = 0; i < kWords; ++i) {
        if (!a[i].is_string()) {
            return false;
        }
        const std::string& t = a[i].get_ref<const std::string&>();
        char* end = nullptr;
        const unsigned long v = std::strtoul(t.c_str(), &end, 16);
        if (t.size() != 10 || end != t.c_str() + t.size() || v > 0xFFFFFFFFul) {
            return false;
        }
        w[i] = static_cast<uint32_t>(v);
    }
    std::memcpy(out, w, sizeof w);
    return true;
}

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

} // namespace

std::string SimUnit::state_path()
{
    if (const std::string p = env("EFIS_SIM_STATE"); !p.empty()) {
        return p;
    }
    std::filesystem::path base = env("XDG_STATE_HOME");
    if (base.empty()) {
#ifdef _WIN32
        base = env("LOCALAPPDATA");
#else
        base = std::filesystem::path(env("HOME")) / ".local" / "state";
#endif
    }
    return (base / "efis-config" / "cli-sim-unit.json").string();
}

SimUnit::SimUnit(std::ostream& err) : err_(err), path_(state_path()), unit_(sim::make_demo_unit())
{
    if (const std::string fw = env("EFIS_SIM_FIRMWARE"); !fw.empty()) {
        unsigned major = 0, minor = 0, patch = 0;
        if (fw == "legacy") {
            unit_->set_generation(sim::Generation::Legacy);
        } else if (std::sscanf(fw.c_str(), "%u.%u.%u", &major, &minor, &patch) == 3 && major < 256 && minor < 256 &&
                   patch < 256) {
            unit_->set_version(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), static_cast<uint8_t>(patch));
        } else {
            err_ << "efis-cli-sim: EFIS_SIM_FIRMWARE=" << fw << " is neither legacy nor a version such as 0.2.11\n";
        }
    }
    if (std::ifstream in(path_); in) {
        std::stringstream text;
        text << in.rdbuf();
        const nlohmann::json state = nlohmann::json::parse(text.str(), nullptr, false);
        Settings_t working{};
        Settings_t stored{};
        if (!state.is_discarded() && state.is_object() && state.value("format", "") == kStateFormat &&
            state.contains("working") && state.contains("stored") && record_of(state["working"], &working) &&
            record_of(state["stored"], &stored)) {
            unit_->load_settings(stored);
            unit_->set_working_settings(working);
        } else {
            err_ << "efis-cli-sim: " << path_ << " is not a state file of the virtual unit; starting afresh\n";
        }
    }
    // Slow enough that a progress line visibly moves, as with a real unit.
    unit_->set_latency(std::chrono::microseconds(200));
    sim::plug(unit_);
}

SimUnit::~SimUnit()
{
    sim::unplug_all();
    nlohmann::json state;
    state["format"] = kStateFormat;
    state["working"] = words_of(unit_->working_settings());
    state["stored"] = words_of(unit_->stored_settings());
    std::error_code ec;
    const std::filesystem::path path(path_);
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ec);
    }
    if (std::string error; !settings_file::write_file_safely(path_, state.dump(2) + "\n", &error)) {
        err_ << "efis-cli-sim: " << error << "; the virtual unit's settings are not kept\n";
    }
}

} // namespace efis_cli
