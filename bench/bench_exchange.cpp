// Acknowledged settings writes per second through the whole stack: frame building, the manager,
// the USB transport, the virtual hidapi backend, the virtual unit and the acknowledgement wait.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "comms/comms.h"
#include "sim/hid_backend.h"
#include "sim/virtual_unit.h"
#include "tests/support/unit.h"

namespace {

void BM_SetValueExchange(benchmark::State& state)
{
    auto unit = support::plug_unit(); // 0.2.12, no latency
    unit->set_logging(false);         // the log would grow by two reports per exchange
    {
        CommsManager comms;
        if (!comms.connectUSB(vendor_id, product_id)) {
            state.SkipWithError("virtual unit not found");
            sim::unplug_all();
            return;
        }
        cache_whoami_fwversion(unit->config().version);

        uint32_t value = 0;
        int64_t failures = 0;
        for (auto _ : state) {
            failures += set_value(&comms, SETTINGS_COMMS, BACKLIGHT_BRIGHTNESS_INDEX, value++) != 0;
        }
        state.SetItemsProcessed(state.iterations());
        state.counters["failures"] = static_cast<double>(failures);
        if (failures != 0) {
            state.SkipWithError("an exchange was not acknowledged");
        }
    }
    reset_whoami_fwversion_cache();
    sim::unplug_all();
}

BENCHMARK(BM_SetValueExchange)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
