// Plug and Play requests: what goes down and what comes back, the start with its probe
// and interface, the forward-and-wait step, and removal with its failures and draining.
#include "SupplyBoardTest.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using host::BusBehaviour;

constexpr NTSTATUS kInformational = STATUS_OBJECT_NAME_EXISTS;  // 0x40000000
constexpr NTSTATUS kWarning = static_cast<NTSTATUS>(0x80000005L);

const BusBehaviour kLowerSucceeds{STATUS_SUCCESS, 0x1234, false};
const BusBehaviour kLowerFails{STATUS_UNSUCCESSFUL, 0x11, false};
const BusBehaviour kLowerFailsLater{STATUS_NOT_SUPPORTED, 0x22, true};
const BusBehaviour kLowerSucceedsLater{STATUS_SUCCESS, 0x33, true};

std::size_t BusSaw(UCHAR minor) {
    const auto requests = host::BusRequests();
    return std::count_if(requests.begin(), requests.end(), [minor](const host::BusRequest& r) {
        return r.major == IRP_MJ_PNP && r.minor == minor;
    });
}

bool InterfaceEnabled() {
    const auto interfaces = host::Interfaces();
    return std::any_of(interfaces.begin(), interfaces.end(),
                       [](const host::InterfaceRecord& record) { return record.enabled; });
}

bool ChipsetTypeWritten() {
    return host::FindRegistryValue(simboard::kServiceKeyPath, u"ChipsetType").has_value();
}

class PnpTest : public SupplyBoardTest {};

// ---------------------------------------------------------------------------------------
// Requests that go down and stay there
// ---------------------------------------------------------------------------------------

// The bus driver answers the requests that every driver must handle; any other it
// completes with the status in the request, which is what the driver set before passing it
// down (success for the requests it claims to handle) or the PnP manager's preset.
TEST_F(PnpTest, PassedDownRequestsReturnWhatTheLowerDriverReturned) {
    struct Case {
        UCHAR minor;
        bool answeredBelow;  // the bus answers it with the status it was configured with
        NTSTATUS status;     // else the status the request carries down
    };
    const Case cases[] = {
        {IRP_MN_QUERY_REMOVE_DEVICE, true, 0},
        {IRP_MN_STOP_DEVICE, true, 0},
        {IRP_MN_QUERY_STOP_DEVICE, true, 0},
        {IRP_MN_SURPRISE_REMOVAL, true, 0},
        {IRP_MN_QUERY_CAPABILITIES, false, STATUS_SUCCESS},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, false, STATUS_SUCCESS},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, false, STATUS_SUCCESS},
        {IRP_MN_DEVICE_USAGE_NOTIFICATION, false, STATUS_SUCCESS},
        {IRP_MN_QUERY_DEVICE_RELATIONS, false, STATUS_NOT_SUPPORTED},
        {0x18, false, STATUS_NOT_SUPPORTED},
    };
    const BusBehaviour lowers[] = {kLowerSucceeds, kLowerFails, kLowerFailsLater};
    auto& board = BootedBoard();
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    FILE_OBJECT* file = host::OpenFile(simboard::kLinkName, &opened);  // held open throughout
    ASSERT_EQ(opened, STATUS_SUCCESS);
    const auto accessesBefore = host::PortAccessCount();

    for (const auto& row : cases) {
        for (const auto& lower : lowers) {
            SCOPED_TRACE(testing::Message()
                         << "minor 0x" << std::hex << int(row.minor) << ", lower 0x" << lower.status
                         << (lower.pending ? " later" : ""));
            host::SetBusPnpBehaviour(lower);
            const std::size_t seenBefore = BusSaw(row.minor);
            const NTSTATUS status = row.answeredBelow ? lower.status : row.status;

            const auto result = board.Pnp(row.minor);

            EXPECT_EQ(result.returned, lower.pending ? STATUS_PENDING : status);
            EXPECT_EQ(result.status, status);
            EXPECT_EQ(result.information, row.answeredBelow ? lower.information : 0u);
            EXPECT_EQ(BusSaw(row.minor), seenBefore + 1);
            // Nothing changes: the device, its link and its enabled interface stay.
            EXPECT_NE(board.Device(), nullptr);
            EXPECT_TRUE(host::SymbolicLinkTarget(simboard::kLinkName).has_value());
            EXPECT_TRUE(InterfaceEnabled());
        }
    }
    EXPECT_EQ(host::PortAccessCount(), accessesBefore);
    EXPECT_EQ(AskSupply(file, 1).result.status, STATUS_SUCCESS);
    EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);
}

TEST_F(PnpTest, CancelsSucceedWhateverTheLowerDriverSays) {
    const BusBehaviour lowers[] = {
        kLowerSucceeds, kLowerFails, kLowerFailsLater, {kWarning, 0, false}};
    auto& board = BootedBoard();
    for (const UCHAR minor :
         {UCHAR{IRP_MN_CANCEL_REMOVE_DEVICE}, UCHAR{IRP_MN_CANCEL_STOP_DEVICE}}) {
        for (const auto& lower : lowers) {
            SCOPED_TRACE(testing::Message() << "minor " << int(minor) << ", lower 0x" << std::hex
                                            << lower.status << (lower.pending ? " later" : ""));
            host::SetBusPnpBehaviour(lower);
            const std::size_t seenBefore = BusSaw(minor);

            const auto result = board.Pnp(minor);

            EXPECT_EQ(result.returned, STATUS_SUCCESS);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.information, lower.information);
            EXPECT_EQ(BusSaw(minor), seenBefore + 1);
            EXPECT_TRUE(InterfaceEnabled());
        }
    }
}

// ---------------------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------------------

struct StartCase {
    const char* name;
    BusBehaviour lower;
    USHORT chipPort;
    bool interfaceName;      // false: the extension holds no interface name
    NTSTATUS enableFailure;  // 0: enabling the interface succeeds
    NTSTATUS status;
    bool enabled;
    bool chipsetType;
};

TEST_F(PnpTest, StartForwardsProbesAndEnables) {
    const StartCase cases[] = {
        {"lower succeeds", kLowerSucceeds, 0x2E, true, 0, STATUS_SUCCESS, true, true},
        {"lower fails", kLowerFails, 0x2E, true, 0, STATUS_SUCCESS, true, true},
        {"lower fails later", kLowerFailsLater, 0x2E, true, 0, STATUS_SUCCESS, true, true},
        {"chip at 0x4E", kLowerSucceeds, 0x4E, true, 0, STATUS_SUCCESS, true, true},
        {"no chip", kLowerSucceeds, 0, true, 0, STATUS_UNSUCCESSFUL, false, false},
        {"no chip, lower fails", kLowerFails, 0, true, 0, STATUS_UNSUCCESSFUL, false, false},
        {"enabling fails", kLowerSucceeds, 0x2E, true, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED,
         false, true},
        {"no interface name, lower informational",
         {kInformational, 0x44, false},
         0x2E,
         false,
         0,
         kInformational,
         false,
         true},
        {"no interface name, lower informational later",
         {kInformational, 0x55, true},
         0x2E,
         false,
         0,
         kInformational,
         false,
         true},
        {"no interface name, lower succeeds later", kLowerSucceedsLater, 0x2E, false, 0,
         STATUS_SUCCESS, false, true},
        {"no interface name, lower fails", kLowerFails, 0x2E, false, 0, STATUS_SUCCESS, false,
         true},
        {"no interface name, lower warns",
         {kWarning, 0x66, false},
         0x2E,
         false,
         0,
         STATUS_SUCCESS,
         false,
         true},
        {"no interface name, no chip", kLowerSucceeds, 0, false, 0, STATUS_UNSUCCESSFUL, false,
         false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        simboard::BoardOptions options;
        options.superIoIndexPort = row.chipPort;
        auto& board = AddedBoard(options);
        DEVICE_EXTENSION* extension = Extension();
        ASSERT_NE(extension, nullptr);
        const UNICODE_STRING interfaceName = extension->m_InterfaceName;
        if (!row.interfaceName) {
            extension->m_InterfaceName = UNICODE_STRING{0, 0, nullptr};
        }
        if (row.enableFailure != 0) {
            host::FailCall("IoSetDeviceInterfaceState",
                           host::CallCount("IoSetDeviceInterfaceState") + 1, row.enableFailure);
        }
        host::SetBusPnpBehaviour(row.lower);

        const auto result = board.Start();

        EXPECT_EQ(result.returned, row.status);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.information, row.lower.information);  // the lower driver's, kept
        EXPECT_EQ(BusSaw(IRP_MN_START_DEVICE), 1u);
        EXPECT_EQ(InterfaceEnabled(), row.enabled);
        EXPECT_EQ(ChipsetTypeWritten(), row.chipsetType);
        EXPECT_EQ(host::SymbolicLinkTarget(simboard::kLinkName).has_value(), true);
        extension->m_InterfaceName = interfaceName;  // the registration's, released at unload
    }
}

TEST_F(PnpTest, StopThenRequestThenStartAgain) {
    simboard::BoardOptions options;
    options.pwr1 = false;
    auto& board = BootedBoard(options);
    EXPECT_EQ(board.Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(board.Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);

    const auto accessesBefore = host::PortAccessCount();
    const auto answer = AskSupply(board.Device(), 1);
    EXPECT_EQ(answer.result.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.buffer, (std::array<UCHAR, 2>{kCallerByte, 0}));
    EXPECT_EQ(host::PortAccessCount() - accessesBefore, 23u);

    const unsigned writesBefore = host::CallCount("RtlWriteRegistryValue");
    const unsigned enablesBefore = host::CallCount("IoSetDeviceInterfaceState");
    host::ClearPortTrace();
    const auto restarted = board.Start();

    // The interface is still enabled from the first start, so enabling it again answers
    // with an informational status, which the start hands on.
    EXPECT_TRUE(NT_SUCCESS(restarted.status));
    EXPECT_EQ(restarted.status, restarted.returned);
    EXPECT_EQ(BusSaw(IRP_MN_START_DEVICE), 2u);
    EXPECT_EQ(PortTraceText().size(), 7u);  // one probe, the chip answering at once
    EXPECT_EQ(host::CallCount("RtlWriteRegistryValue") - writesBefore, 1u);
    EXPECT_EQ(host::CallCount("IoSetDeviceInterfaceState") - enablesBefore, 1u);
    EXPECT_TRUE(InterfaceEnabled());
}

TEST_F(PnpTest, ForwardIrpSynchronousRefusesMissingArguments) {
    HostBuildOnly();
    auto& board = BootedBoard();
    const std::size_t requestsBefore = host::BusRequests().size();

    EXPECT_EQ(ForwardIrpSynchronous(nullptr, nullptr), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(ForwardIrpSynchronous(board.Device(), nullptr), STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(host::BusRequests().size(), requestsBefore);
}

// ---------------------------------------------------------------------------------------
// Removal
// ---------------------------------------------------------------------------------------

struct RemovalCase {
    const char* name;
    BusBehaviour lower;
    bool started;
    bool disableFails;
};

class RemovalTest : public PnpTest {
  protected:
    // Removes the device while a handle is open, checks what is left of it, closes the
    // handle and unloads the driver.
    void RemoveWithHandleOpen(const RemovalCase& row) {
        auto& board = row.started ? BootedBoard() : AddedBoard();
        NTSTATUS opened = STATUS_UNSUCCESSFUL;
        FILE_OBJECT* file = host::OpenFile(simboard::kLinkName, &opened);
        ASSERT_EQ(opened, STATUS_SUCCESS);
        host::SetBusPnpBehaviour(row.lower);
        if (row.disableFails) {
            host::FailCall("IoSetDeviceInterfaceState",
                           host::CallCount("IoSetDeviceInterfaceState") + 1);
        }

        const auto result = board.Remove();

        EXPECT_EQ(result.returned, STATUS_SUCCESS);
        EXPECT_EQ(result.status, row.lower.status);
        EXPECT_EQ(BusSaw(IRP_MN_REMOVE_DEVICE), 1u);
        EXPECT_EQ(board.Device(), nullptr);
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_FALSE(host::SymbolicLinkTarget(simboard::kLinkName).has_value());
        EXPECT_EQ(host::OutstandingPoolWithTag(host::kInterfaceNameTag), 0u);
        EXPECT_EQ(InterfaceEnabled(), row.disableFails);

        // A handle opened before the removal gets nothing more from the device.
        const auto accessesBefore = host::PortAccessCount();
        const auto answer = AskSupply(file, 1);
        EXPECT_FALSE(NT_SUCCESS(answer.result.status));
        EXPECT_EQ(answer.result.information, 0u);
        EXPECT_EQ(answer.buffer, (std::array<UCHAR, 2>{kUntouched, kUntouched}));
        EXPECT_EQ(host::PortAccessCount(), accessesBefore);
        EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);

        board.Unload();
    }
};

TEST_F(RemovalTest, RemovalLeavesNothingWhateverTheLowerDriverSays) {
    const RemovalCase cases[] = {
        {"lower succeeds", kLowerSucceeds, true, false},
        {"lower fails", kLowerFails, true, false},
        {"lower warns", {kWarning, 0, false}, true, false},
        {"never started", kLowerSucceeds, false, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        RemoveWithHandleOpen(row);
        EXPECT_EQ(host::CheckForLeaks(), 0u) << host::FormatReports();
    }
}

// The name is released all the same and the device goes; only the platform's record of
// the interface stays enabled, since the one disable the driver makes was refused.
TEST_F(RemovalTest, RemovalWhenDisablingTheInterfaceFails) {
    ExpectReports(host::ReportKind::Object);
    const RemovalCase cases[] = {
        {"lower succeeds", kLowerSucceeds, true, true},
        {"lower fails", kLowerFails, true, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        RemoveWithHandleOpen(row);
        host::ClearReports();
        EXPECT_EQ(host::CheckForLeaks(), 1u);
        const auto reports = host::Reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_NE(reports[0].text.find("is still enabled although its device is gone"),
                  std::string::npos);
        host::ClearReports();
    }
}

// A lower driver that finishes the removal later: the dispatch routine must not claim a
// finished request while it is still in progress below.
TEST_F(RemovalTest, RemovalThatTheLowerDriverFinishesLater) {
    auto& board = BootedBoard();
    host::SetBusPnpBehaviour(kLowerFailsLater);

    const auto result = board.Remove();

    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, kLowerFailsLater.status);
    EXPECT_EQ(host::LiveDeviceCount(), 0u);
}

// A status request in progress holds the remove lock: removal waits for it, and a request
// that arrives meanwhile is refused without touching the controller.
TEST_F(PnpTest, RemovalWaitsForRequestsInProgressAndRefusesNewOnes) {
    auto& board = BootedBoard();
    DEVICE_OBJECT* device = board.Device();
    DEVICE_EXTENSION* extension = Extension();
    int requestInProgress = 0;  // its address tags the acquisition
    ASSERT_EQ(IoAcquireRemoveLockEx(&extension->m_RemoveLock, &requestInProgress, "", 1,
                                    sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        EXPECT_EQ(board.Remove().returned, STATUS_SUCCESS);
        removed = true;
    });
    while (std::atomic_ref<BOOLEAN>(extension->m_RemoveLock.Common.Removed).load() == 0) {
        std::this_thread::yield();
    }

    const auto accessesBefore = host::PortAccessCount();
    const auto answer = AskSupply(device, 2);
    EXPECT_EQ(answer.result.returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(answer.result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(answer.result.information, 0u);
    EXPECT_EQ(answer.buffer, (std::array<UCHAR, 2>{kUntouched, kUntouched}));
    EXPECT_EQ(host::PortAccessCount(), accessesBefore);
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(host::LiveDeviceCount(), 1u);
    EXPECT_EQ(BusSaw(IRP_MN_REMOVE_DEVICE), 0u);  // not passed down before the drain

    IoReleaseRemoveLockEx(&extension->m_RemoveLock, &requestInProgress, sizeof(IO_REMOVE_LOCK));
    removal.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(host::LiveDeviceCount(), 0u);
    EXPECT_EQ(BusSaw(IRP_MN_REMOVE_DEVICE), 1u);
}

}  // namespace
