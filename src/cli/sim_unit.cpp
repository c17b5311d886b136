#include "cli/sim_unit.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "operations/operations.h"
#include "settings_file/settings_file.h"
#include "sim/environment.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"

namespace efis_cli {

namespace {

constexpr const char* kStateFormat = "efis-cli-sim unit state";
constexpr size_t kWords = sizeof(Settings_t) / 4;
constexpr size_t kHeaderWords = sizeof(firmware_header_t) / 4;

struct Firmware {
    sim::Generation generation = sim::Generation::Current;
    fwversion_t version{};
};

// EFIS_SIM_FIRMWARE: a legacy unit reports no version, so "legacy" leaves it as it is.
struct RunFirmware {
    sim::Generation generation = sim::Generation::Current;
    std::optional<fwversion_t> version;
};

template <size_t N> nlohmann::json words_of(const void* record)
{
    uint32_t w[N];
    std::memcpy(w, record, sizeof w);
    nlohmann::json a = nlohmann::json::array();
    for (uint32_t v : w) {
        a.push_back(settings_file::hex32(v));
    }
    return a;
}

// "0x" and eight hex digits, as hex32 writes them.
bool word_of(const nlohmann::json& j, uint32_t* out)
{
    if (!j.is_string()) {
        return false;
    }
    const std::string& t = j.get_ref<const std::string&>();
    char* end = nullptr;
    const unsigned long v = std::strtoul(t.c_str(), &end, 16);
    if (t.size() != 10 || t.compare(0, 2, "0x") != 0 || end != t.c_str() + t.size() || v > 0xFFFFFFFFul) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

template <size_t N> bool record_of(const nlohmann::json& a, void* out)
{
    if (!a.is_array() || a.size() != N) {
        return false;
    }
    uint32_t w[N];
    for (size_t i = 0; i < N; ++i) {
        if (!word_of(a[i], &w[i])) {
            return false;
        }
    }
    std::memcpy(out, w, sizeof w);
    return true;
}

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// Takes what the file holds into `kept`; the fields an older file lacks stay as they are. False
// for anything that is not a state file of this unit.
bool state_of(const nlohmann::json& state, uint32_t serial, sim::Retained* kept)
{
    sim::Retained r = *kept;
    if (!state.is_object() || state.value("format", "") != kStateFormat || !state.contains("working") ||
        !state.contains("stored") || !record_of<kWords>(state["working"], &r.working) ||
        !record_of<kWords>(state["stored"], &r.stored)) {
        return false;
    }
    uint32_t word = 0;
    if (state.contains("serial") && (!word_of(state["serial"], &word) || word != serial)) {
        return false;
    }
    if (state.contains("generation")) {
        const nlohmann::json& g = state["generation"];
        if (g != "current" && g != "legacy") {
            return false;
        }
        r.generation = g == "legacy" ? sim::Generation::Legacy : sim::Generation::Current;
    }
    if (state.contains("firmware") && !word_of(state["firmware"], &r.version.version)) {
        return false;
    }
    if (state.contains("bank") && !word_of(state["bank"], &r.partition)) {
        return false;
    }
    r.images.clear();
    if (state.contains("images")) {
        if (!state["images"].is_array()) {
            return false;
        }
        for (const nlohmann::json& image : state["images"]) {
            sim::BankImage b;
            if (!image.is_object() || !image.contains("bank") || !image.contains("header") ||
                !word_of(image["bank"], &word) || !record_of<kHeaderWords>(image["header"], &b.header)) {
                return false;
            }
            b.bank = static_cast<mx25_partition>(word);
            r.images.push_back(b);
        }
    }
    *kept = r;
    return true;
}

nlohmann::json json_of(const sim::Retained& r, uint32_t serial)
{
    nlohmann::json state;
    state["format"] = kStateFormat;
    state["serial"] = settings_file::hex32(serial);
    state["generation"] = r.generation == sim::Generation::Legacy ? "legacy" : "current";
    state["firmware"] = settings_file::hex32(r.version.version);
    state["bank"] = settings_file::hex32(r.partition);
    state["working"] = words_of<kWords>(&r.working);
    state["stored"] = words_of<kWords>(&r.stored);
    state["images"] = nlohmann::json::array();
    for (const sim::BankImage& image : r.images) {
        state["images"].push_back(
            {{"bank", settings_file::hex32(image.bank)}, {"header", words_of<kHeaderWords>(&image.header)}});
    }
    return state;
}

void write_state(const std::string& path_text, const nlohmann::json& state, std::ostream& err)
{
    std::error_code ec;
    const std::filesystem::path path(path_text);
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ec);
    }
    if (std::string error; !settings_file::write_file_safely(path_text, state.dump(2) + "\n", &error)) {
        err << "efis-cli-sim: " << error << "; the virtual unit's settings are not kept\n";
    }
}

std::optional<RunFirmware> firmware_from_environment(std::ostream& err)
{
    const std::string fw = env("EFIS_SIM_FIRMWARE");
    if (fw.empty()) {
        return std::nullopt;
    }
    unsigned major = 0, minor = 0, patch = 0;
    if (fw == "legacy") {
        return RunFirmware{sim::Generation::Legacy, std::nullopt};
    }
    if (std::sscanf(fw.c_str(), "%u.%u.%u", &major, &minor, &patch) == 3 && major < 256 && minor < 256 && patch < 256) {
        fwversion_t v{};
        v.major = static_cast<uint8_t>(major);
        v.minor = static_cast<uint8_t>(minor);
        v.patch = static_cast<uint8_t>(patch);
        return RunFirmware{sim::Generation::Current, v};
    }
    err << "efis-cli-sim: EFIS_SIM_FIRMWARE=" << fw << " is neither legacy nor a version such as 0.2.11\n";
    return std::nullopt;
}

} // namespace

struct SimUnit::Kept {
    std::shared_ptr<sim::VirtualUnit> unit;
    uint32_t serial = 0;
    std::string path;
    std::ostream* err = nullptr;
    std::optional<RunFirmware> run_firmware; // EFIS_SIM_FIRMWARE, for this run only
    Firmware file_firmware;                  // as the file had it, kept when the run's firmware is on
    std::atomic<bool> image_started{false};
    bool open = false; // between the first open and the last close

    void load()
    {
        sim::Retained r = unit->retained();
        if (std::ifstream in(path); in) {
            std::stringstream text;
            text << in.rdbuf();
            const nlohmann::json state = nlohmann::json::parse(text.str(), nullptr, false);
            if (state.is_discarded() || !state_of(state, serial, &r)) {
                *err << "efis-cli-sim: " << path << " is not a state file of the virtual unit "
                     << settings_file::hex32(serial) << "; starting afresh\n";
            }
        }
        file_firmware = {r.generation, r.version};
        if (run_firmware && !image_started) {
            r.generation = run_firmware->generation;
            r.version = run_firmware->version.value_or(r.version);
        }
        unit->restore(r);
        open = true;
    }

    void save()
    {
        sim::Retained r = unit->retained();
        const sim::UnitConfig now = unit->config();
        const uint32_t bank_now = now.partition_raw != 0 ? now.partition_raw : now.partition;
        // Starting an image always changes the bank the unit names.
        const bool image_starting = unit->restarting() && r.partition != bank_now;
        if (run_firmware && !image_started && !image_starting) {
            r.generation = file_firmware.generation;
            r.version = file_firmware.version;
        }
        write_state(path, json_of(r, serial), *err);
        open = false;
    }
};

std::string SimUnit::state_path()
{
    if (const std::string p = env("EFIS_SIM_STATE"); !p.empty()) {
        return p;
    }
    return (std::filesystem::path(operations::state_directory()) / "cli-sim-unit.json").string();
}

std::string SimUnit::state_path(uint32_t serial, bool per_serial)
{
    const std::string single = state_path();
    if (!per_serial) {
        return single;
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(serial));
    const std::filesystem::path p(single);
    std::filesystem::path name = p.stem();
    name += "-";
    name += hex;
    name += p.extension();
    return (p.parent_path() / name).string();
}

SimUnit::SimUnit(std::ostream& err)
{
    std::vector<std::string> problems;
    const sim::SimEnvironment environment = sim::read_environment(&problems);
    for (const std::string& problem : problems) {
        err << "efis-cli-sim: " << problem << "\n";
    }
    const std::optional<RunFirmware> run_firmware = firmware_from_environment(err);
    const bool per_serial = !environment.serials.empty();
    for (const std::shared_ptr<sim::VirtualUnit>& unit : sim::make_units(environment)) {
        auto kept = std::make_shared<Kept>();
        kept->unit = unit;
        kept->serial = unit->config().serial;
        kept->path = state_path(kept->serial, per_serial);
        kept->err = &err;
        kept->run_firmware = run_firmware;
        const std::weak_ptr<Kept> weak = kept;
        unit->on_image_start([weak](sim::ImageStart&) {
            if (const auto k = weak.lock()) {
                k->image_started = true;
            }
        });
        // Slow enough that a progress line visibly moves, as with a real unit.
        unit->set_latency(std::chrono::microseconds(200));
        sim::PlugOptions options;
        options.hooks.first_open = [kept](sim::VirtualUnit&) { kept->load(); };
        options.hooks.last_close = [kept](sim::VirtualUnit&) { kept->save(); };
        sim::plug(unit, options);
        kept_.push_back(std::move(kept));
    }
}

SimUnit::~SimUnit()
{
    // A program that ends with a unit open keeps what it did to it all the same.
    for (const std::shared_ptr<Kept>& kept : kept_) {
        if (kept->open) {
            kept->save();
        }
    }
    sim::unplug_all();
}

} // namespace efis_cli
