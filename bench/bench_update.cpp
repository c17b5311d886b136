// The guided firmware update of a 1 MiB image against a unit that answers each frame 1 ms after
// the previous one and takes 2 s to restart (the short run: 64 KiB, 200 ms, once). The unit's
// replies and its restart set the lower bound of the run's time; `ratio` is the run's wall time
// over (replies x 1 ms + restart) (target: at most 1.15).
//   build/bench/bench_update --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench/short_run.h"
#include "comms/can_msg_ids.h"
#include "comms/device_log.h"
#include "operations/operations.h"
#include "sim/demo_unit.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"

namespace {

constexpr auto kLatency = std::chrono::milliseconds(1);
const auto kRestart = bench::sized(std::chrono::milliseconds(2000), std::chrono::milliseconds(200));
const uint32_t kImageBytes = bench::sized(1024u, 64u) * 1024;

void BM_GuidedUpdate(benchmark::State& state)
{
    support::TempDir dir;
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    // As efis-cli runs it: the device layer's lines go nowhere.
    set_device_log_sink([](const char*, void*) {}, nullptr);
    double seconds = 0.0;
    double bound = 0.0;
    size_t replies = 0;
    uint32_t version = 0x00030000;
    for (auto _ : state) {
        // Each run a fresh unit whose new image found the default record: every setting is restored.
        auto unit = sim::make_demo_unit();
        unit->set_latency(std::chrono::duration_cast<std::chrono::microseconds>(kLatency));
        unit->set_restart_time(kRestart);
        unit->set_update_resets_settings(true);
        sim::unplug_all();
        sim::plug(unit);
        reset_whoami_fwversion_cache();

        firmware_header_t h{};
        h.magic = 0x46575631;
        h.version = ++version;
        h.total_size = h.plaintext_size = h.encrypted_size = kImageBytes;
        const std::string image = dir.write("fw.bin", support::firmware_image(h, support::pattern(kImageBytes)));
        operations::UpdateOptions options;
        options.backup_directory = (dir.path() / "backups").string();
        options.program = "bench_update";

        CommsManager comms;
        const auto t0 = std::chrono::steady_clock::now();
        operations::Connection c = operations::connect_unit(&comms, {std::nullopt, false, "bench_update"});
        if (!c.ok()) {
            state.SkipWithError("no unit");
            break;
        }
        const operations::UpdateResult r = operations::update_firmware(&comms, &c.lock, c.unit, image, options);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!r.ok() || r.restore != operations::RestoreOutcome::Restored) {
            state.SkipWithError("the update failed");
            break;
        }
        state.SetIterationTime(s);
        seconds += s;
        size_t n = 0;
        for (const auto& report : unit->log()) {
            n += report.direction == sim::Direction::FromUnit ? 1 : 0;
        }
        replies += n;
        bound += static_cast<double>(n) * std::chrono::duration<double>(kLatency).count() +
                 std::chrono::duration<double>(kRestart).count();
    }
    state.counters["replies"] = static_cast<double>(replies) / static_cast<double>(state.iterations());
    state.counters["ratio"] = bound > 0 ? seconds / bound : 0.0;
    std::printf("guided update: %.3f x (replies x 1 ms + restart)\n", bound > 0 ? seconds / bound : 0.0);
    sim::unplug_all();
    set_device_log_sink(nullptr, nullptr);
}

BENCHMARK(BM_GuidedUpdate)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(bench::sized(2, 1));

} // namespace

BENCHMARK_MAIN();
