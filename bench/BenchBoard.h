// The booted simulated board that a benchmark run shares among its threads. Google
// Benchmark's Setup and Teardown run once per run, outside every thread's timing.
#pragma once

#include "RailwatchApi.h"
#include "SimulatedBoard.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>

namespace bench {

struct BenchBoard {
    simboard::SimulatedBoard board;
    DEVICE_HANDLE* device = nullptr;  // the library's open device
    std::mutex libraryCallers;        // callers of the library serialise their calls
    bool ready = false;
};

inline std::unique_ptr<BenchBoard>& TheBoard() {
    static std::unique_ptr<BenchBoard> board;
    return board;
}

// Boots the board, opens the library's device, and turns the port trace off (the bus
// still counts every access).
inline void BootBoard(const benchmark::State&) {
    auto& shared = TheBoard();
    shared = std::make_unique<BenchBoard>();
    shared->ready = shared->board.Boot() &&
                    Railwatch_DeviceOpen(&shared->device) == Railwatch_SUCCESS;
    host::SetPortTraceEnabled(false);
}

inline void ShutDownBoard(const benchmark::State&) {
    auto& shared = TheBoard();
    Railwatch_DeviceClose(&shared->device);
    shared->board.Remove();
    shared->board.Unload();
    shared.reset();
}

}  // namespace bench
