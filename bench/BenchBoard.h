// The booted simulated board that a benchmark run shares among its threads, with the API
// library its callers use: the driver and the library built into the benchmark, or the
// shipped RailwatchDrv.sys and x64 RailwatchApi.dll loaded as images. Google Benchmark's
// Setup and Teardown run once per run, outside every thread's timing.
#pragma once

#include "ApiLibrary.h"
#include "RailwatchApi.h"
#include "ShippedBinaries.h"
#include "SimulatedBoard.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>

namespace bench {

struct BenchBoard {
    explicit BenchBoard(const simboard::BoardOptions& options) : board(options) {}
    simboard::SimulatedBoard board;
    std::unique_ptr<simboard::ApiLibrary> library;
    DEVICE_HANDLE* device = nullptr;  // the library's open device
    std::mutex libraryCallers;        // callers of the library serialise their calls
    bool ready = false;
    std::string whyNotReady;
};

inline std::unique_ptr<BenchBoard>& TheBoard() {
    static std::unique_ptr<BenchBoard> board;
    return board;
}

// Which builds a run uses: the built-in ones, or the shipped images.
struct Builds {
    bool driverImage = false;
    bool apiImage = false;
};

// The shipped binary at `relative`, or an empty path with the reason in `whyNot`.
inline std::string ShippedOrWhyNot(const char* relative, std::string& whyNot) {
    const auto found = simboard::FindShipped(relative);
    if (!found) whyNot = simboard::MissingShipped(relative);
    return found.value_or("");
}

// Boots the board (on the shipped driver when asked), loads the library (the shipped image
// when asked), opens its device, and turns the port trace off (the bus still counts every
// access).
inline void BootBoardWith(Builds builds) {
    auto& shared = TheBoard();
    std::string whyNot;
    simboard::BoardOptions options;
    std::string apiPath;
    if (builds.driverImage)
        options.driverImage = ShippedOrWhyNot(simboard::kShippedDriverImage, whyNot);
    if (builds.apiImage) apiPath = ShippedOrWhyNot(simboard::kShippedApiImage, whyNot);
    if (!whyNot.empty()) {
        shared = std::make_unique<BenchBoard>(simboard::BoardOptions{});
        shared->whyNotReady = whyNot;
        return;
    }
    shared = std::make_unique<BenchBoard>(options);
    shared->library = simboard::ApiLibrary::Choose(apiPath, shared->whyNotReady);
    if (shared->library == nullptr) return;
    shared->ready =
        shared->board.Boot() && shared->library->DeviceOpen(&shared->device) == Railwatch_SUCCESS;
    if (!shared->ready) shared->whyNotReady = "the simulated board did not boot or open";
    host::SetPortTraceEnabled(false);
}

// For benchmarks whose first argument says which builds: 0 built in, 1 the shipped API
// image, 2 the shipped API and driver images.
inline void BootBoardForImages(const benchmark::State& state) {
    BootBoardWith({state.range(0) >= 2, state.range(0) >= 1});
}

// For benchmarks whose second argument says which driver: 0 built in, 1 the shipped image.
inline void BootBoardForDriver(const benchmark::State& state) {
    BootBoardWith({state.range(1) != 0, false});
}

inline void ShutDownBoard(const benchmark::State&) {
    auto& shared = TheBoard();
    if (shared->library != nullptr) shared->library->DeviceClose(&shared->device);
    if (shared->board.Device() != nullptr) shared->board.Remove();
    if (shared->board.Loaded()) shared->board.Unload();
    shared.reset();
}

}  // namespace bench
