// Runs N status requests on a booted simulated board, for instruction counting under
// valgrind --tool=callgrind (bench/run). Two runs with different N, subtracted, give the
// cost of one request without the board's set-up.
//
//   railwatch_profile ioctl N                  N requests through the I/O manager into
//                                              DispatchDeviceControl
//   railwatch_profile api N [--api-image FILE] N Railwatch_Get calls through the whole host
//                                              stack, with the built-in library or the DLL
//
// Prints the heap allocations that the requests made (every malloc of the process,
// counted while the requests run) and, with an image, where it was mapped, so that the
// instructions executed inside it can be told apart.
#include "ApiLibrary.h"
#include "RailwatchApi.h"
#include "RailwatchDrv.h"
#include "SimulatedBoard.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<bool> g_counting{false};
std::atomic<unsigned long> g_allocations{0};
}  // namespace

extern "C" void* malloc(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations++;
    return __libc_malloc(size);
}

int main(int argc, char** argv) {
    const bool usage = (argc != 3 && argc != 5) ||
                       (std::strcmp(argv[1], "ioctl") != 0 && std::strcmp(argv[1], "api") != 0) ||
                       (argc == 5 && std::strcmp(argv[3], "--api-image") != 0);
    if (usage) {
        std::fprintf(stderr, "usage: railwatch_profile ioctl|api N [--api-image FILE]\n");
        return 2;
    }
    const bool api = std::strcmp(argv[1], "api") == 0;
    const long count = std::atol(argv[2]);
    std::string error;
    const auto library = simboard::ApiLibrary::Choose(argc == 5 ? argv[4] : "", error);
    if (library == nullptr) {
        std::fprintf(stderr, "railwatch_profile: %s\n", error.c_str());
        return 2;
    }

    simboard::SimulatedBoard board;
    DEVICE_HANDLE* handle = nullptr;
    if (!board.Boot() || library->DeviceOpen(&handle) != Railwatch_SUCCESS) {
        std::fprintf(stderr, "railwatch_profile: the simulated board did not boot\n");
        return 1;
    }
    host::SetPortTraceEnabled(false);
    DEVICE_OBJECT* device = board.Device();
    UCHAR buffer[2] = {0, 0};
    unsigned char state = 0;
    long answered = 0;

    g_counting = true;
    for (long i = 0; i < count; ++i) {
        if (api) {
            answered += library->Get(handle, Railwatch_PWR1, &state) == Railwatch_SUCCESS;
        } else {
            answered +=
                host::DeviceControlTo(device, IOCTL_GET_PWR1_STATUS, buffer, 2, buffer, 2).status ==
                STATUS_SUCCESS;
        }
    }
    g_counting = false;

    library->DeviceClose(&handle);
    board.Remove();
    board.Unload();
    std::printf("requests=%ld answered=%ld heap_allocations=%lu\n", count, answered,
                g_allocations.load());
    if (library->IsImage()) {
        std::printf("api_image_base=0x%llx api_image_size=%llu\n",
                    static_cast<unsigned long long>(library->Mapped().base),
                    static_cast<unsigned long long>(library->Mapped().size));
    }
    return answered == count ? 0 : 1;
}
