// Fault injection swept over every failable call that a scenario makes: one clean run
// counts the calls per routine and per phase, then each call is made to fail in turn on a
// fresh board. Each phase must return what its code is meant to for that failure, and
// after unload nothing may be left and the verifier must be silent.
#include "SupplyBoardTest.h"

#include <algorithm>
#include <iostream>
#include <map>

namespace {

enum class Phase { Load, Add, Start, Remove, Unload };

const char* PhaseName(Phase phase) {
    switch (phase) {
        case Phase::Load:
            return "load";
        case Phase::Add:
            return "add";
        case Phase::Start:
            return "start";
        case Phase::Remove:
            return "remove";
        case Phase::Unload:
            return "unload";
    }
    return "?";
}

// Runs one phase on the board; the status it ended with (0 for unload).
NTSTATUS RunPhase(simboard::SimulatedBoard& board, Phase phase) {
    switch (phase) {
        case Phase::Load:
            return board.Load();
        case Phase::Add:
            return board.Add();
        case Phase::Start:
            return board.Start().status;
        case Phase::Remove:
            return board.Remove().returned;
        case Phase::Unload:
            board.Unload();
            return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

// What a phase is meant to return when `routine`'s call number `nth` (counted over the
// whole run) fails during it. The default board has an AMI BIOS with the marker: load maps
// the Award signature (1st mapping), the AMI signature (2nd) and the marker window (3rd),
// and allocates only the path copy.
NTSTATUS ExpectedStatus(Phase phase, const std::string& routine, unsigned nth) {
    switch (phase) {
        case Phase::Load:
            if (routine == "ExAllocatePoolWithTag") return STATUS_INSUFFICIENT_RESOURCES;
            if (routine == "MmMapIoSpace") return nth == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
            return STATUS_SUCCESS;
        case Phase::Add:
            if (routine == "RtlWriteRegistryValue") return STATUS_SUCCESS;  // never examined
            if (routine == "IoAttachDeviceToDeviceStack") return STATUS_NO_SUCH_DEVICE;
            return STATUS_INSUFFICIENT_RESOURCES;  // the platform's usual creation failure
        case Phase::Start:
            // Enabling the interface decides the start; the ChipsetType write does not.
            if (routine == "IoSetDeviceInterfaceState") return STATUS_UNSUCCESSFUL;
            return STATUS_SUCCESS;
        case Phase::Remove:
        case Phase::Unload:
            return STATUS_SUCCESS;  // removal and unload finish whatever fails
    }
    return STATUS_UNSUCCESSFUL;
}

struct Scenario {
    const char* name;
    std::vector<Phase> phases;
};

class LoadFaultSweepTest : public SupplyBoardTest {
  protected:
    // Calls per failable routine after each phase of a clean run.
    std::vector<std::map<std::string, unsigned>> CountCalls(const Scenario& scenario) {
        auto& board = MakeBoard();
        std::vector<std::map<std::string, unsigned>> counts;
        for (const Phase phase : scenario.phases) {
            RunPhase(board, phase);
            auto& after = counts.emplace_back();
            for (const auto& routine : host::FailableRoutines()) {
                after[routine] = host::CallCount(routine);
            }
        }
        EXPECT_EQ(host::CheckForLeaks(), 0u) << "the clean run leaves nothing";
        ExpectDriverPoolTags();
        return counts;
    }

    // Fails call `nth` of `routine`, runs the whole scenario and checks what is left.
    void RunWithFault(const Scenario& scenario,
                      const std::vector<std::map<std::string, unsigned>>& counts,
                      const std::string& routine, unsigned nth) {
        SCOPED_TRACE(std::string(scenario.name) + ": " + routine + " call " + std::to_string(nth));
        auto& board = MakeBoard();
        host::FailCall(routine, nth);
        bool loaded = false;
        bool added = false;
        bool disabledAnEnabledInterface = false;
        for (std::size_t i = 0; i < scenario.phases.size(); ++i) {
            const Phase phase = scenario.phases[i];
            const unsigned before = i == 0 ? 0 : counts[i - 1].at(routine);
            const bool failsHere = before < nth && nth <= counts[i].at(routine);
            const auto interfaces = host::Interfaces();
            const bool enabledBefore = std::any_of(interfaces.begin(), interfaces.end(),
                                                   [](const auto& entry) { return entry.enabled; });
            const NTSTATUS status = RunPhase(board, phase);
            if (phase == Phase::Load) loaded = NT_SUCCESS(status);
            if (phase == Phase::Add) added = NT_SUCCESS(status);
            // Once the load or the add has failed, later phases meet no driver device.
            if (failsHere) {
                disabledAnEnabledInterface =
                    enabledBefore && (phase == Phase::Remove || phase == Phase::Unload);
                EXPECT_EQ(status, ExpectedStatus(phase, routine, nth)) << PhaseName(phase);
            } else if (loaded && (added || phase == Phase::Load || phase == Phase::Add)) {
                EXPECT_EQ(status, STATUS_SUCCESS) << PhaseName(phase);
            }
        }
        // A deletion or a disable that fails leaves exactly the object it was to remove.
        const char* leftover = nullptr;
        if (routine == "IoDeleteSymbolicLink") {
            leftover = "symbolic link \\DosDevices\\RailwatchDrvDev was never deleted";
        } else if (routine == "IoSetDeviceInterfaceState" && disabledAnEnabledInterface) {
            leftover = "is still enabled although its device is gone";
        }
        EXPECT_EQ(host::CheckForLeaks(), leftover != nullptr ? 1u : 0u);
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_TRUE(host::OutstandingPool().empty());
        ExpectDriverPoolTags();
        EXPECT_TRUE(host::LiveMappings().empty());
        for (const auto& report : host::Reports()) {
            if (leftover != nullptr && report.kind == host::ReportKind::Object &&
                report.text.find(leftover) != std::string::npos) {
                continue;
            }
            ADD_FAILURE() << host::ReportKindName(report.kind) << ": " << report.text;
        }
        host::ClearReports();
    }

    // Sweeps every call of every failable routine; returns the number of call sites.
    unsigned Sweep(const Scenario& scenario) {
        const auto counts = CountCalls(scenario);
        unsigned sites = 0;
        for (const auto& routine : host::FailableRoutines()) {
            for (unsigned nth = 1; nth <= counts.back().at(routine); ++nth) {
                RunWithFault(scenario, counts, routine, nth);
                ++sites;
            }
        }
        return sites;
    }
};

TEST_F(LoadFaultSweepTest, EveryFailableCallOfLoadAddUnload) {
    const Scenario scenario{"load, add, unload", {Phase::Load, Phase::Add, Phase::Unload}};
    const unsigned sites = Sweep(scenario);
    std::cout << "[ sweep    ] " << scenario.name << ": " << sites << " failable calls covered\n";
    EXPECT_GT(sites, 0u);
}

TEST_F(LoadFaultSweepTest, EveryFailableCallOfAFullDeviceLife) {
    const Scenario scenario{"load, add, start, remove, unload",
                            {Phase::Load, Phase::Add, Phase::Start, Phase::Remove, Phase::Unload}};
    const unsigned sites = Sweep(scenario);
    std::cout << "[ sweep    ] " << scenario.name << ": " << sites << " failable calls covered\n";
    EXPECT_GT(sites, 0u);
}

}  // namespace
