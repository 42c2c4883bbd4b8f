// One status request, end to end through the simulated I/O manager into
// DispatchDeviceControl and the Super I/O read, on a booted simulated board.
//
// Counters: port accesses and pool allocations per request, from the platform's totals
// over the timed loop (the port trace is off, so the bus only counts).
#include "RailwatchDrv.h"
#include "SimulatedBoard.h"

#include <benchmark/benchmark.h>

namespace {

void StatusRequest(benchmark::State& state) {
    const int supply = int(state.range(0));
    simboard::SimulatedBoard board;
    if (!board.Boot()) {
        state.SkipWithError("the simulated board did not boot");
        return;
    }
    host::SetPortTraceEnabled(false);
    DEVICE_OBJECT* device = board.Device();
    const ULONG code = supply == 1 ? IOCTL_GET_PWR1_STATUS : IOCTL_GET_PWR2_STATUS;
    UCHAR input[2] = {0, 0};
    UCHAR output[2] = {0, 0};
    bool allAnswered = true;

    const auto accessesBefore = host::PortAccessCount();
    const auto allocationsBefore = host::PoolAllocationCount();
    for (auto _ : state) {
        const auto result = host::DeviceControlTo(device, code, input, 2, output, 2);
        allAnswered &= result.status == STATUS_SUCCESS;
        benchmark::DoNotOptimize(output);
    }
    const double requests = double(state.iterations());
    state.counters["port_accesses_per_request"] =
        double(host::PortAccessCount() - accessesBefore) / requests;
    state.counters["pool_allocations_per_request"] =
        double(host::PoolAllocationCount() - allocationsBefore) / requests;
    if (!allAnswered) {
        state.SkipWithError("a status request failed");
    }

    board.Remove();
    board.Unload();
}

BENCHMARK(StatusRequest)->ArgName("supply")->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
