// The machine that railwatch reads: what differs between the Windows tool and the host
// tool. On Windows the installed driver is the machine: nothing to bring up or flip. On the
// host it is a simulated board, booted the way Windows boots a machine with RailwatchDrv,
// on which tests may flip supplies between polls.
//
// Interruption: SIGINT (Ctrl-C) and SIGTERM end a watch after the current poll, so the
// device is closed as usual.
#pragma once

#include "CommandLine.h"

#ifndef _WIN32
#include "SimulatedBoard.h"
#endif

#include <vector>

namespace railwatch {

#ifdef _WIN32

class Machine {
  public:
    explicit Machine(const Options&) {}
    void BeforePoll(unsigned long) {}
};

#else

// Load; when that succeeds, present the device node and start it (a refused load presents
// no device; a failed start is followed by removal). The board lives until after the
// command has closed the device, then removes the device and unloads the driver.
class Machine {
  public:
    explicit Machine(const Options& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Applies the supply flips scheduled for this poll (counted from 1).
    void BeforePoll(unsigned long poll);

  private:
    simboard::SimulatedBoard board_;
    std::vector<SupplyFlip> flips_;
};

#endif

// From now on SIGINT and SIGTERM mark the tool as interrupted instead of ending it.
void CatchInterrupts();
bool Interrupted();

// Sleeps in short slices so that an interrupt ends the wait soon.
void SleepUnlessInterrupted(unsigned long ms);

}  // namespace railwatch
