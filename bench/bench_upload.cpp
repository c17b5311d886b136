// Firmware upload against the virtual unit.
//
//   BM_HostTimePerPacket: a full 4 MiB bank (256 KiB in the short run) from a zero-latency unit. host_us is the wall
//   time per
//     64-byte packet less the pause the upload makes after each packet (pause_us, measured on its
//     own); cpu_us is process CPU time per packet (the unit's side included, it runs in-process),
//     pause_cpu_us the part of it that the pause's sleep costs.
//   BM_LatencyOverhead: a 256 KiB image (64 KiB in the short run) from a unit that answers each frame 1 ms late. ratio
//   is
//     the run's wall time over its floor, one millisecond per reply the unit sent; extra_us is the
//     time per reply beyond that floor and the 100 us pauses.
//
// Run: build/bench/bench_upload --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/short_run.h"
#include "comms/comms.h"
#include "firmware_ops/firmware_ops.h"
#include "firmware_ops/transfer_io.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/stream_capture.h"
#include "tests/support/unit.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double process_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A connected unit for one benchmark; the connection's and the upload's own lines are kept out
// of the benchmark's output.
struct Rig {
    std::shared_ptr<sim::VirtualUnit> unit = support::plug_unit();
    std::unique_ptr<CommsManager> comms;
    support::TempDir dir;

    Rig()
    {
        support::StreamCapture quiet(1);
        comms = std::make_unique<CommsManager>();
        comms->establish_connection();
    }
    ~Rig()
    {
        comms.reset();
        sim::unplug_all();
    }
    // An image that fills `bytes` of the bank: header plus bytes - 64 encrypted bytes.
    std::string write_image(uint32_t bytes) const
    {
        firmware_header_t h{};
        h.total_size = bytes;
        h.encrypted_size = bytes - sizeof h;
        return dir.write("fw" + std::to_string(bytes), support::firmware_image(h, support::pattern(bytes - sizeof h)));
    }
    TransferResult upload(const std::string& path)
    {
        support::StreamCapture quiet(1);
        return send_fw(comms.get(), path.c_str(), nullptr, nullptr);
    }
};

void BM_HostTimePerPacket(benchmark::State& state)
{
    Rig rig;
    rig.unit->set_logging(false);
    const std::string path = rig.write_image(bench::sized(4u << 20, 256u << 10));

    // The pause alone, as the upload makes it: its wall time, and the CPU its sleep costs.
    constexpr int kPauses = 2000;
    double pause = 0, pause_cpu = 0;
    {
        transfer_detail::PacketPause pauses;
        const double c0 = process_cpu_seconds();
        const auto p0 = Clock::now();
        for (int i = 0; i < kPauses; ++i) {
            pauses.wait();
        }
        pause = seconds(Clock::now() - p0) / kPauses;
        pause_cpu = (process_cpu_seconds() - c0) / kPauses;
    }

    double wall = 0, cpu = 0, packets = 0;
    for (auto _ : state) {
        const double c0 = process_cpu_seconds();
        const auto t0 = Clock::now();
        const TransferResult r = rig.upload(path);
        wall += seconds(Clock::now() - t0);
        cpu += process_cpu_seconds() - c0;
        packets += r.bytes_sent / 64.0 + 1; // data packets and the header
        if (!r.ok()) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.counters["packets"] = packets / static_cast<double>(state.iterations());
    state.counters["pause_us"] = pause * 1e6;
    state.counters["host_us"] = (wall / packets - pause) * 1e6;
    state.counters["cpu_us"] = cpu / packets * 1e6;
    state.counters["pause_cpu_us"] = pause_cpu * 1e6;
}
BENCHMARK(BM_HostTimePerPacket)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_LatencyOverhead(benchmark::State& state)
{
    Rig rig;
    rig.unit->set_latency(std::chrono::milliseconds(1));
    const std::string path = rig.write_image(bench::sized(256u << 10, 64u << 10));

    double wall = 0, floor = 0, pauses = 0;
    for (auto _ : state) {
        rig.unit->clear_log();
        const auto t0 = Clock::now();
        const TransferResult r = rig.upload(path);
        wall += seconds(Clock::now() - t0);
        if (!r.ok()) {
            state.SkipWithError("upload failed");
            break;
        }
        pauses += r.bytes_sent / 64.0 * 100e-6;
        for (const sim::LoggedReport& report : rig.unit->log()) {
            floor += report.direction == sim::Direction::FromUnit ? 1e-3 : 0;
        }
    }
    state.counters["replies"] = floor * 1e3 / static_cast<double>(state.iterations());
    state.counters["ratio"] = wall / floor;
    // What is left per reply once the floor and the 100 us pauses are taken off.
    state.counters["extra_us"] = (wall - floor - pauses) / (floor * 1e3) * 1e6;
}
BENCHMARK(BM_LatencyOverhead)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
