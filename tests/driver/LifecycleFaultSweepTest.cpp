// Fault injection over a whole life of the driver and its library: load, add, start, the
// library's open, status requests, sleep, wake, hibernation, a stop and a new start, the
// library's close, removal and unload. A clean run counts the calls of every failable
// platform routine; then each of those calls is made to fail in turn on a fresh board, and
// the whole life is run to its end. Each step must end the way the code means it to for
// that failure, and after unload nothing may be left and the verifier must be silent
// (apart from the one object that a failed deletion or disable necessarily leaves).
#include "RailwatchApi.h"
#include "SupplyBoardTest.h"
#include "host/Win32.h"

#include <iostream>
#include <map>

namespace {

struct Scenario {
    const char* name;
    simboard::BiosKind bios;
};

struct Fault {
    std::string routine;
    unsigned nth = 0;  // 0: no fault (the counting run)
};

bool ValuePresent(std::u16string_view name) {
    return host::FindRegistryValue(simboard::kServiceKeyPath, name).has_value();
}

bool InterfaceEnabled() {
    for (const auto& record : host::Interfaces()) {
        if (record.enabled) {
            return true;
        }
    }
    return false;
}

class LifecycleFaultSweepTest : public SupplyBoardTest {
  protected:
    // One life of the driver with `fault` injected; EXPECTs what each step must give.
    void Live(const Scenario& scenario, const Fault& fault) {
        simboard::BoardOptions options;
        options.bios = simboard::BuiltInBiosImage(scenario.bios);
        options.pwr2 = false;  // supply 1 good, supply 2 failed
        auto& board = MakeBoard(options);
        host::SetPortTraceEnabled(false);
        if (fault.nth != 0) {
            host::FailCall(fault.routine, fault.nth);
        }
        fault_ = fault;
        hitStep_.clear();
        leftover_ = nullptr;

        // Load: the path copy, then board validation.
        NTSTATUS expected = STATUS_SUCCESS;
        unsigned before = Count();
        NTSTATUS status = board.Load();
        if (fault.nth == 0) {
            loadMappings_ = host::CallCount("MmMapIoSpace");
            loadAllocations_ = host::CallCount("ExAllocatePoolWithTag");
        }
        if (Hit("load", before)) {
            expected = ExpectedLoadStatus(scenario);
        }
        EXPECT_EQ(status, expected) << "load";
        const bool loaded = NT_SUCCESS(status);
        if (!loaded) {
            // Nothing else happens: no routine installed, nothing held.
            EXPECT_EQ(board.Driver()->DriverExtension->AddDevice, nullptr);
            EXPECT_TRUE(host::OutstandingPool().empty());
            EXPECT_TRUE(host::LiveMappings().empty());
        }

        // Add: device, link, interface, "InterfaceName", attach.
        bool device = false;
        if (loaded) {
            expected = STATUS_SUCCESS;
            before = Count();
            status = board.Add();
            if (Hit("add", before)) {
                if (fault.routine == "IoCreateDevice" || fault.routine == "IoCreateSymbolicLink" ||
                    fault.routine == "IoRegisterDeviceInterface" ||
                    fault.routine == "ExAllocatePoolWithTag") {
                    expected = STATUS_INSUFFICIENT_RESOURCES;
                } else if (fault.routine == "IoAttachDeviceToDeviceStack") {
                    expected = STATUS_NO_SUCH_DEVICE;
                } else if (fault.routine == "RtlWriteRegistryValue") {
                    EXPECT_FALSE(ValuePresent(u"InterfaceName")) << "the failed write shows";
                } else {
                    Unplanned("add");
                }
            }
            EXPECT_EQ(status, expected) << "add";
            device = NT_SUCCESS(status);
            if (!device) {
                // Everything the add made is undone.
                EXPECT_EQ(host::LiveDeviceCount(), 0u);
                EXPECT_TRUE(host::SymbolicLinks().empty());
                EXPECT_EQ(host::OutstandingPoolWithTag(host::kInterfaceNameTag), 0u);
                EXPECT_EQ(host::OutstandingPool().size(), 1u) << "only the path copy is held";
            }
        }

        // Start; a start that fails is followed by removal, as at boot.
        if (device) {
            device = StartOrRemove(board, "start");
        }

        // The library opens the device.
        DEVICE_HANDLE* handle = nullptr;
        before = Count();
        int result = Railwatch_DeviceOpen(&handle);
        int expectedResult = device ? Railwatch_SUCCESS : Railwatch_OpenDevice_Failed;
        if (Hit("library open", before)) {
            if (fault.routine == "GlobalAlloc") {
                expectedResult = Railwatch_Memory_Allocate_Failed;
            } else if (fault.routine == "CreateFileA") {
                expectedResult = Railwatch_OpenDevice_Failed;
            } else {
                Unplanned("library open");
            }
        }
        EXPECT_EQ(result, expectedResult) << "library open";
        const bool open = result == Railwatch_SUCCESS;
        EXPECT_EQ(handle != nullptr, open);
        EXPECT_EQ(host::OutstandingGlobalBlocks(), open ? 1u : 0u);
        EXPECT_EQ(host::OpenHandleCount(), open ? 1u : 0u);

        Ask(board, handle, device, "after start");

        // Sleep, wake, hibernation, wake: every power request goes down and succeeds; a
        // failure in the wake's probe (its "ChipsetType" write) shows nowhere.
        if (device) {
            const std::pair<ULONG, POWER_ACTION> transitions[] = {
                {PowerSystemSleeping3, PowerActionSleep},
                {PowerSystemWorking, PowerActionSleep},
                {PowerSystemHibernate, PowerActionHibernate},
                {PowerSystemWorking, PowerActionSleep}};
            for (const auto& [state, action] : transitions) {
                before = Count();
                EXPECT_EQ(board.Power(IRP_MN_SET_POWER, SystemPowerState, state, action).status,
                          STATUS_SUCCESS);
                if (Hit("power", before) && fault.routine != "RtlWriteRegistryValue") {
                    Unplanned("power");
                }
            }
            const auto* extension =
                static_cast<const DEVICE_EXTENSION*>(board.Device()->DeviceExtension);
            EXPECT_EQ(extension->m_PWR1Status, 1);
            EXPECT_EQ(extension->m_PWR2Status, 0);
            EXPECT_TRUE(ValuePresent(u"ChipsetType"));  // the start's write or the wake's
        }

        // A stop and a new start: the whole start sequence runs again.
        if (device) {
            EXPECT_EQ(board.Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
            EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
            device = StartOrRemove(board, "restart");
        }
        Ask(board, handle, device, "after restart");

        // The library closes.
        DEVICE_HANDLE* variable = handle;
        EXPECT_EQ(Railwatch_DeviceClose(&variable),
                  open ? Railwatch_SUCCESS : Railwatch_INVALID_HANDLE);
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
        EXPECT_EQ(host::OpenHandleCount(), 0u);

        // Removal: a link that cannot be deleted or an interface that cannot be disabled
        // stays, and is the only thing that does.
        if (device) {
            before = Count();
            EXPECT_EQ(board.Remove().returned, STATUS_SUCCESS);
            if (Hit("remove", before)) {
                if (fault.routine == "IoDeleteSymbolicLink") {
                    leftover_ = "symbolic link \\DosDevices\\RailwatchDrvDev was never deleted";
                } else if (fault.routine == "IoSetDeviceInterfaceState") {
                    leftover_ = "is still enabled although its device is gone";
                } else {
                    Unplanned("remove");
                }
            }
            EXPECT_EQ(board.Device(), nullptr);
        }
        if (loaded) {
            before = Count();
            board.Unload();
            if (Hit("unload", before)) {
                Unplanned("unload");
            }
        }

        if (fault.nth != 0) {
            EXPECT_FALSE(hitStep_.empty()) << "the failing call was never made";
        }
        EXPECT_EQ(host::CheckForLeaks(), leftover_ != nullptr ? 1u : 0u);
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_TRUE(host::OutstandingPool().empty());
        ExpectDriverPoolTags();
        EXPECT_TRUE(host::LiveMappings().empty());
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        for (const auto& report : host::Reports()) {
            if (leftover_ != nullptr && report.kind == host::ReportKind::Object &&
                report.text.find(leftover_) != std::string::npos) {
                continue;
            }
            ADD_FAILURE() << host::ReportKindName(report.kind) << ": " << report.text;
        }
        host::ClearReports();
    }

  private:
    // The load's status when the fault hits it. Validation maps the Award signature area,
    // then (no Award BIOS) the AMI one, then the marker window; a family scan then maps and
    // copies one window per prefix tried, and its last search is the one that found it.
    NTSTATUS ExpectedLoadStatus(const Scenario& scenario) {
        const unsigned nth = fault_.nth;
        if (fault_.routine == "ExAllocatePoolWithTag") {
            if (nth == 1) {
                return STATUS_INSUFFICIENT_RESOURCES;  // the path copy
            }
            return nth == loadAllocations_ ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        }
        if (fault_.routine == "MmMapIoSpace") {
            if (scenario.bios == simboard::BiosKind::Award) {
                return STATUS_UNSUCCESSFUL;  // its signature, then its marker window
            }
            if (nth == 1) {
                return STATUS_SUCCESS;  // a missing Award area leads on to the AMI test
            }
            if (nth <= 3) {
                return STATUS_UNSUCCESSFUL;  // the AMI signature, the marker window
            }
            return nth == loadMappings_ ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        }
        Unplanned("load");
        return STATUS_SUCCESS;
    }

    unsigned Count() const { return fault_.nth == 0 ? 0 : host::CallCount(fault_.routine); }

    // True when the failing call was made during the step that began at call `before`.
    bool Hit(const char* step, unsigned before) {
        if (fault_.nth == 0 || before >= fault_.nth ||
            host::CallCount(fault_.routine) < fault_.nth) {
            return false;
        }
        hitStep_ = step;
        return true;
    }

    void Unplanned(const char* step) {
        ADD_FAILURE() << fault_.routine << " is called during " << step
                      << ", where this test has no outcome for its failure";
    }

    // Starts the device; a failed start is followed by removal. True when it started.
    bool StartOrRemove(simboard::SimulatedBoard& board, const char* step) {
        const unsigned before = Count();
        const auto result = board.Start();
        bool meantToFail = false;
        if (Hit(step, before)) {
            if (fault_.routine == "IoSetDeviceInterfaceState") {
                meantToFail = true;  // the enable's failure is the start's result
                EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << step;
                // At the first start the interface stays disabled; a stop leaves it as it
                // was, so at a restart it is still enabled from the first start.
                EXPECT_EQ(InterfaceEnabled(), std::string(step) == "restart") << step;
            } else if (fault_.routine == "RtlWriteRegistryValue") {
                // Only the value is missing (a restart finds the one the start wrote).
                EXPECT_EQ(ValuePresent(u"ChipsetType"), std::string(step) == "restart") << step;
            } else {
                Unplanned(step);
            }
        }
        if (!meantToFail) {
            EXPECT_TRUE(NT_SUCCESS(result.status)) << step << ": 0x" << std::hex << result.status;
            EXPECT_TRUE(InterfaceEnabled()) << step;
        }
        if (NT_SUCCESS(result.status)) {
            return true;
        }
        EXPECT_EQ(board.Remove().returned, STATUS_SUCCESS) << "removal after a failed " << step;
        return false;
    }

    // Both supplies through the library, and a 16-byte request straight to the device.
    void Ask(simboard::SimulatedBoard& board, DEVICE_HANDLE* handle, bool device,
             const char* when) {
        SCOPED_TRACE(when);
        for (const unsigned char supply : {Railwatch_PWR1, Railwatch_PWR2}) {
            unsigned char state = 0xEE;
            const int result = Railwatch_Get(handle, supply, &state);
            // Supply 1 is good and supply 2 has failed on this board.
            const unsigned char level = supply == Railwatch_PWR1 ? 1 : 0;
            if (handle != nullptr && device) {
                EXPECT_EQ(result, Railwatch_SUCCESS);
                EXPECT_EQ(state, level);
            } else {
                EXPECT_EQ(result, Railwatch_INVALID_HANDLE);
                EXPECT_EQ(state, 0xEE);
            }
        }
        if (device) {
            const std::vector<UCHAR> input(16, kCallerByte);
            std::vector<UCHAR> output(16, kUntouched);
            const auto result = host::DeviceControlTo(board.Device(), IOCTL_GET_PWR2_STATUS,
                                                      input.data(), 16, output.data(), 16);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.information, 2u);
            EXPECT_EQ(output[0], kCallerByte);
            EXPECT_EQ(output[1], 0);
            EXPECT_EQ(output[2], kUntouched);
        }
    }

    Fault fault_;
    unsigned loadMappings_ = 0;  // calls at load in the run without faults
    unsigned loadAllocations_ = 0;
    std::string hitStep_;
    const char* leftover_ = nullptr;
};

class LifecycleFaultSweepByBios : public LifecycleFaultSweepTest,
                                  public testing::WithParamInterface<Scenario> {};

TEST_P(LifecycleFaultSweepByBios, EveryFailableCallOfAWholeLifeEndsAsMeant) {
    const Scenario& scenario = GetParam();
    // The counting run: no fault, every step succeeds.
    Live(scenario, {});
    std::map<std::string, unsigned> counts;
    for (const auto& routine : host::FailableRoutines()) {
        counts[routine] = host::CallCount(routine);
    }
    ASSERT_FALSE(HasFailure()) << "the life without faults already fails";

    unsigned sites = 0;
    for (const auto& [routine, calls] : counts) {
        for (unsigned nth = 1; nth <= calls; ++nth) {
            SCOPED_TRACE(routine + " call " + std::to_string(nth) + " fails");
            Live(scenario, {routine, nth});
            ++sites;
        }
    }
    std::cout << "[ sweep    ] whole life with the library, " << scenario.name << " BIOS: " << sites
              << " failable calls covered (";
    const char* separator = "";
    for (const auto& [routine, calls] : counts) {
        if (calls > 0) {
            std::cout << separator << routine << " " << calls;
            separator = ", ";
        }
    }
    std::cout << ")\n";
    EXPECT_GT(sites, 0u);
}

INSTANTIATE_TEST_SUITE_P(Boards, LifecycleFaultSweepByBios,
                         testing::Values(Scenario{"AMI", simboard::BiosKind::Ami},
                                         Scenario{"Award", simboard::BiosKind::Award},
                                         Scenario{"AMI family", simboard::BiosKind::AmiFamily}),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name) == "AMI family"
                                        ? std::string("AmiFamily")
                                        : std::string(info.param.name);
                         });

}  // namespace
