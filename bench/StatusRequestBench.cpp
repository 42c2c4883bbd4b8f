// One status request through the simulated I/O manager into DispatchDeviceControl and the
// Super I/O read, on a booted simulated board, with the built-in driver (driver_image:0) and
// the shipped RailwatchDrv.sys (driver_image:1, whose in/out instructions trap onto the
// simulated bus) side by side; one thread and two (the device's spin lock serialises
// them). Also the port accesses of one detection.
//
// Counters: port accesses and pool allocations per request, from the platform's totals
// over the timed loop (the port trace is off, so the bus only counts).
#include "BenchBoard.h"
#include "RailwatchDrv.h"

#include <atomic>

namespace {

std::atomic<bool> g_allAnswered{true};

void StatusRequest(benchmark::State& state) {
    auto& shared = *bench::TheBoard();
    if (!shared.ready) {
        state.SkipWithError(shared.whyNotReady.c_str());
        return;
    }
    DEVICE_OBJECT* device = shared.board.Device();
    const ULONG code = state.range(0) == 1 ? IOCTL_GET_PWR1_STATUS : IOCTL_GET_PWR2_STATUS;
    UCHAR input[2] = {0, 0};
    UCHAR output[2] = {0, 0};

    const auto accessesBefore = host::PortAccessCount();
    const auto allocationsBefore = host::PoolAllocationCount();
    for (auto _ : state) {
        const auto result = host::DeviceControlTo(device, code, input, 2, output, 2);
        if (result.status != STATUS_SUCCESS) g_allAnswered = false;
        benchmark::DoNotOptimize(output);
    }
    if (state.thread_index() == 0) {
        // Totals of all threads over the run, divided by all threads' requests.
        const double requests = double(state.iterations()) * state.threads();
        state.counters["port_accesses_per_request"] =
            double(host::PortAccessCount() - accessesBefore) / requests;
        state.counters["pool_allocations_per_request"] =
            double(host::PoolAllocationCount() - allocationsBefore) / requests;
    }
    if (!g_allAnswered) state.SkipWithError("a status request failed");
}

BENCHMARK(StatusRequest)
    ->Setup(bench::BootBoardForDriver)
    ->Teardown(bench::ShutDownBoard)
    ->ArgNames({"supply", "driver_image"})
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// Port accesses of one detection: 7 when the chip answers on the first pair, 14 when the
// probe has to move on to the fallback pair.
void Detection(benchmark::State& state) {
    simboard::BoardOptions options;
    options.superIoIndexPort = USHORT(state.range(0));
    simboard::SimulatedBoard board(options);
    if (!NT_SUCCESS(board.Load()) || !NT_SUCCESS(board.Add())) {
        state.SkipWithError("the simulated board did not load");
        return;
    }
    host::SetPortTraceEnabled(false);
    auto* extension = static_cast<DEVICE_EXTENSION*>(board.Device()->DeviceExtension);
    std::uint64_t accesses = 0;
    for (auto _ : state) {
        simboard::ResetDriverImage();  // every detection starts from the load-time pair
        const auto before = host::PortAccessCount();
        benchmark::DoNotOptimize(DetectSuperIo(extension));
        accesses += host::PortAccessCount() - before;
    }
    state.counters["port_accesses_per_detection"] = double(accesses) / double(state.iterations());
    board.Remove();
    board.Unload();
}

BENCHMARK(Detection)->ArgName("index_port")->Arg(0x2E)->Arg(0x4E);

}  // namespace

BENCHMARK_MAIN();
