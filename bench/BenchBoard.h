// The booted simulated board that a benchmark run shares among its threads, with the API
// library its callers use: the one built into the benchmark, or the shipped x64
// RailwatchApi.dll loaded as an image. Google Benchmark's Setup and Teardown run once per
// run, outside every thread's timing.
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

// Boots the board, loads the library (the shipped image when `apiImage`), opens its
// device, and turns the port trace off (the bus still counts every access).
inline void BootBoardWith(bool apiImage) {
    auto& shared = TheBoard();
    shared = std::make_unique<BenchBoard>();
    std::string path;
    if (apiImage) {
        const auto found = simboard::FindShipped(simboard::kShippedApiImage);
        if (!found) {
            shared->whyNotReady = simboard::MissingShipped(simboard::kShippedApiImage);
            return;
        }
        path = *found;
    }
    shared->library = simboard::ApiLibrary::Choose(path, shared->whyNotReady);
    if (shared->library == nullptr) return;
    shared->ready =
        shared->board.Boot() && shared->library->DeviceOpen(&shared->device) == Railwatch_SUCCESS;
    if (!shared->ready) shared->whyNotReady = "the simulated board did not boot or open";
    host::SetPortTraceEnabled(false);
}

inline void BootBoard(const benchmark::State&) { BootBoardWith(false); }

// For benchmarks whose first argument says which library: 0 built in, 1 the shipped image.
inline void BootBoardForLibrary(const benchmark::State& state) {
    BootBoardWith(state.range(0) != 0);
}

inline void ShutDownBoard(const benchmark::State&) {
    auto& shared = TheBoard();
    if (shared->library != nullptr) shared->library->DeviceClose(&shared->device);
    if (shared->board.Device() != nullptr) shared->board.Remove();
    if (shared->board.Loaded()) shared->board.Unload();
    shared.reset();
}

}  // namespace bench
