// One Railwatch_Get through the whole host stack: the library, the Win32 layer, the I/O
// manager, DispatchDeviceControl and the W83627 model; the library and driver built into the
// benchmark (images:0), the shipped x64 DLL loaded as an image (images:1), and the shipped DLL
// over the shipped RailwatchDrv.sys (images:2) side by side. With
// two threads the callers serialise their calls, as the library asks of them (it shares
// one exchange buffer).
#include "BenchBoard.h"

namespace {

void ApiGet(benchmark::State& state) {
    auto& shared = *bench::TheBoard();
    if (!shared.ready) {
        state.SkipWithError(shared.whyNotReady.c_str());
        return;
    }
    bool allAnswered = true;
    for (auto _ : state) {
        unsigned char status = 0xEE;
        int result;
        {
            std::lock_guard lock(shared.libraryCallers);
            result = shared.library->Get(shared.device, Railwatch_PWR1, &status);
        }
        allAnswered &= result == Railwatch_SUCCESS && status == 1;
        benchmark::DoNotOptimize(status);
    }
    if (!allAnswered) state.SkipWithError("a Railwatch_Get failed");
}

BENCHMARK(ApiGet)
    ->Setup(bench::BootBoardForImages)
    ->ArgName("images")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Teardown(bench::ShutDownBoard)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

}  // namespace
