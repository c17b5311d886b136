// A full settings restore with efis-cli (every value differs) against a unit that answers each
// frame 1 ms after the previous one. The unit's replies set the lower bound of the run's time; the
// `ratio` counter is the run's wall time over replies x 1 ms (target: at most 1.15).
//   build/bench/bench_restore --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "cli/cli.h"
#include "comms/can_msg_ids.h"
#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"

namespace {

constexpr auto kLatency = std::chrono::milliseconds(1);

void BM_FullRestore(benchmark::State& state)
{
    auto unit = sim::make_demo_unit();
    const Settings_t file_record = unit->stored_settings();
    // The unit holds a record whose every value differs from the file's, within each field's width.
    Settings_t unit_record = file_record;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t w = settings_get_value(&unit_record, static_cast<settings_struct_index>(i)) ^ 1u;
        settings_set_value(&unit_record, static_cast<settings_struct_index>(i), &w);
    }
    const auto path = std::filesystem::temp_directory_path() / ("efis-bench-restore-" + std::to_string(getpid()));
    // The unit's own backup, so that its identity is restored too.
    settings_file::UnitInfo own;
    own.serial = unit->config().serial;
    std::string error;
    if (!settings_file::write_document_file(path.string(),
                                            settings_file::backup_document(file_record, own, std::nullopt), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    unit->set_latency(std::chrono::duration_cast<std::chrono::microseconds>(kLatency));
    sim::plug(unit);

    double seconds = 0.0;
    size_t replies = 0;
    for (auto _ : state) {
        unit->load_settings(unit_record);
        unit->clear_log();
        reset_whoami_fwversion_cache();
        std::ostringstream out;
        std::ostringstream err;
        const auto t0 = std::chrono::steady_clock::now();
        const int status = efis_cli::run({"efis-cli", "settings", "restore", path.string()}, {out, err, false});
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (status != 0) {
            state.SkipWithError(err.str().c_str());
            break;
        }
        state.SetIterationTime(s);
        seconds += s;
        for (const auto& r : unit->log()) {
            replies += r.direction == sim::Direction::FromUnit ? 1 : 0;
        }
    }
    const double bound = static_cast<double>(replies) * std::chrono::duration<double>(kLatency).count();
    state.counters["replies"] = static_cast<double>(replies) / static_cast<double>(state.iterations());
    state.counters["ratio"] = bound > 0 ? seconds / bound : 0.0;
    std::printf("full restore: %.3f x (replies x 1 ms)\n", bound > 0 ? seconds / bound : 0.0);
    sim::unplug_all();
    std::filesystem::remove(path);
}

BENCHMARK(BM_FullRestore)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
