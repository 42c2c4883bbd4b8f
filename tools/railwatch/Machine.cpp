// The machine railwatch reads (see Machine.h), and how it waits between polls.
#include "Machine.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace railwatch {

namespace {

constexpr unsigned kSleepSliceMs = 50;  // how soon an interrupted watch notices

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

void SleepMs(unsigned long ms) {
#ifdef _WIN32
    ::Sleep(static_cast<DWORD>(ms));
#else
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);  // a signal cuts it short, which is what we want
#endif
}

}  // namespace

#ifndef _WIN32

// No hardware is read here, and whoever reads the output must be able to tell.
constexpr const char* kSimulatedNote =
    "railwatch: simulated board: these readings come from RailwatchDrv on a simulated board, "
    "not from hardware\n";

Machine::Machine(const Options& options) : board_(options.board), flips_(options.flips) {
    std::fputs(kSimulatedNote, stderr);
    board_.Boot();
}

Machine::~Machine() {
    if (board_.Device() != nullptr) {
        board_.Remove();
    }
    if (board_.Loaded()) {
        board_.Unload();
    }
    // Whatever the simulated platform's verifier caught (a leak, a misused lock) is a
    // fault of the driver or the library: say so.
    host::CheckForLeaks();
    for (const host::Report& report : host::Reports()) {
        std::fprintf(stderr, "railwatch: simulated platform: %s: %s\n",
                     host::ReportKindName(report.kind), report.text.c_str());
    }
    // Frees what the run left behind: a library image that faulted never closed its device.
    host::ResetPlatform();
}

void Machine::BeforePoll(unsigned long poll) {
    for (const SupplyFlip& flip : flips_) {
        if (flip.poll == poll) {
            board_.SetSupply(flip.supply, flip.level);
        }
    }
}

#endif

void CatchInterrupts() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

bool Interrupted() { return g_interrupted != 0; }

void SleepUnlessInterrupted(unsigned long ms) {
    while (ms > 0 && g_interrupted == 0) {
        const unsigned long slice = std::min<unsigned long>(ms, kSleepSliceMs);
        SleepMs(slice);
        ms -= slice;
    }
}

}  // namespace railwatch
