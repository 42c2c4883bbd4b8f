// Driver entry and unload: the banners and messages byte for byte, the seven routines
// installed, the service key path copy, the refused and the failed load, opens and
// closes, and unload with and without a device still present.
#include "SupplyBoardTest.h"

#include <cstdio>

namespace {

const std::string kSlashes(68, '/');

// The entry banner up to and including the driver object and path line.
std::string EntryBanner(const DRIVER_OBJECT* driver, const std::string& path) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(driver)));
    return kSlashes + "\n" + "// Railwatch:     ------------> DriverEntry! ------------>     //\n" +
           kSlashes + "\n" + "DriverObject=" + address + ", RegistryPath=\"" + path + "\".\n\n";
}

const std::string kClosingBanner =
    kSlashes + "\n" + "// Railwatch:     <------------ DriverEntry status = 0  <------------ //\n" +
    kSlashes + "\n\n\n";

const std::string kServicePath =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RailwatchDrv";

std::u16string Text(const UNICODE_STRING& string) {
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// The routines a driver object holds, to tell which slots a load wrote.
struct Slots {
    std::vector<PDRIVER_DISPATCH> majorFunctions;
    PDRIVER_UNLOAD unload;
    PDRIVER_ADD_DEVICE addDevice;

    explicit Slots(const DRIVER_OBJECT* driver)
        : majorFunctions(std::begin(driver->MajorFunction), std::end(driver->MajorFunction)),
          unload(driver->DriverUnload),
          addDevice(driver->DriverExtension->AddDevice) {}
    bool operator==(const Slots&) const = default;
};

class DriverLoadTest : public SupplyBoardTest {};

TEST_F(DriverLoadTest, SuccessfulLoadPrintsBannersAndInstallsSevenRoutines) {
    HostBuildOnly();
    auto& board = MakeBoard();
    const Slots before(board.Driver());
    ASSERT_EQ(board.Load(), STATUS_SUCCESS);

    EXPECT_EQ(host::DebugText(), EntryBanner(board.Driver(), kServicePath) +
                                     "---->CheckValidBoard!---->\n\nAMI_BIOS \n\n"
                                     "<---- CheckValidBoard!    bValid = TRUE<----\n\n" +
                                     kClosingBanner);

    const DRIVER_OBJECT* driver = board.Driver();
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], DispatchCreateClose);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], DispatchCreateClose);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], DispatchPower);
    EXPECT_EQ(driver->DriverUnload, DriverUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    // Every other major function keeps the kernel's default handler.
    for (std::size_t major = 0; major < before.majorFunctions.size(); ++major) {
        if (major != IRP_MJ_CREATE && major != IRP_MJ_CLOSE && major != IRP_MJ_DEVICE_CONTROL &&
            major != IRP_MJ_PNP && major != IRP_MJ_POWER) {
            EXPECT_EQ(driver->MajorFunction[major], before.majorFunctions[major]) << major;
        }
    }

    // The path copy: the whole path, a NUL after it, in a block of exactly MaximumLength.
    const std::u16string path(simboard::kServiceKeyPath);
    EXPECT_EQ(Text(g_RegistryPath), path);
    EXPECT_EQ(g_RegistryPath.MaximumLength, g_RegistryPath.Length + 2);
    EXPECT_EQ(g_RegistryPath.Buffer[path.size()], u'\0');
    const auto pool = host::OutstandingPool();
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_EQ(pool[0].address, g_RegistryPath.Buffer);
    EXPECT_EQ(pool[0].size, g_RegistryPath.MaximumLength);
    EXPECT_EQ(pool[0].tag, ULONG{0x524F4953});
    EXPECT_EQ(pool[0].type, PagedPool);
}

TEST_F(DriverLoadTest, RefusedBoardFreesThePathAndInstallsNothing) {
    HostBuildOnly();
    simboard::BoardOptions options;
    options.bios = simboard::BuiltInBiosImage(simboard::BiosKind::None);
    auto& board = MakeBoard(options);
    const Slots before(board.Driver());

    EXPECT_EQ(board.Load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugText(), EntryBanner(board.Driver(), kServicePath) +
                                     "---->CheckValidBoard!---->\n\n"
                                     "CheckValidBoard Failed!!!\n\n\n");
    EXPECT_TRUE(Slots(board.Driver()) == before);
    EXPECT_EQ(g_RegistryPath.Buffer, nullptr);
    EXPECT_TRUE(host::OutstandingPool().empty());
    EXPECT_EQ(host::CheckForLeaks(), 0u);
}

TEST_F(DriverLoadTest, FailedPathAllocationSkipsBoardValidation) {
    // A 60-character path is 120 bytes; the block asked for holds 122.
    simboard::BoardOptions options;
    options.registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Rail-0123456";
    ASSERT_EQ(options.registryPath.size(), 60u);
    auto& board = MakeBoard(options);
    const Slots before(board.Driver());
    host::FailCall("ExAllocatePoolWithTag", 1);

    EXPECT_EQ(board.Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::DebugText(),
              EntryBanner(board.Driver(),
                          std::string(options.registryPath.begin(), options.registryPath.end())) +
                  "Failed to allocate 122 bytes memory from paged pool.\n");
    EXPECT_EQ(host::CallCount("MmMapIoSpace"), 0u) << "CheckValidBoard must not run";
    EXPECT_TRUE(Slots(board.Driver()) == before);
    EXPECT_TRUE(host::OutstandingPool().empty());
}

TEST_F(DriverLoadTest, EmptyPathGetsATwoByteCopyHoldingTheNul) {
    HostBuildOnly();
    simboard::BoardOptions options;
    options.registryPath = u"";
    auto& board = MakeBoard(options);
    ASSERT_EQ(board.Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_RegistryPath.Length, 0);
    EXPECT_EQ(g_RegistryPath.MaximumLength, 2);
    EXPECT_EQ(g_RegistryPath.Buffer[0], u'\0');
    ASSERT_EQ(host::OutstandingPool().size(), 1u);
    EXPECT_EQ(host::OutstandingPool()[0].size, 2u);
    board.Unload();
    EXPECT_EQ(g_RegistryPath.Buffer, nullptr);
    EXPECT_EQ(host::CheckForLeaks(), 0u);
}

TEST_F(DriverLoadTest, OpensAndClosesAlwaysSucceed) {
    AddedBoard();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    FILE_OBJECT* first = host::OpenFile(simboard::kLinkName, &status);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    FILE_OBJECT* second = host::OpenFile(u"\\??\\RailwatchDrvDev", &status);
    ASSERT_NE(second, nullptr) << "the device is not exclusive";
    EXPECT_EQ(host::CloseFile(second), STATUS_SUCCESS);
    EXPECT_EQ(host::CloseFile(first), STATUS_SUCCESS);
}

TEST_F(DriverLoadTest, UnloadAfterRemovalOnlyFreesThePath) {
    HostBuildOnly();
    auto& board = BootedBoard();
    ASSERT_EQ(board.Remove().returned, STATUS_SUCCESS);
    const unsigned linkDeletes = host::CallCount("IoDeleteSymbolicLink");
    const unsigned deviceDeletes = host::CallCount("IoDeleteDevice");
    const unsigned detaches = host::CallCount("IoDetachDevice");

    board.Unload();
    EXPECT_EQ(host::CallCount("IoDeleteSymbolicLink"), linkDeletes);
    EXPECT_EQ(host::CallCount("IoDeleteDevice"), deviceDeletes);
    EXPECT_EQ(host::CallCount("IoDetachDevice"), detaches);
    EXPECT_EQ(g_RegistryPath.Buffer, nullptr);
    EXPECT_EQ(host::CheckForLeaks(), 0u);

    // A second unload finds the buffer already NULL and frees nothing (a double free
    // would be reported).
    board.Unload();
    EXPECT_EQ(host::CheckForLeaks(), 0u);
}

TEST_F(DriverLoadTest, UnloadRemovesADeviceThatIsStillPresent) {
    for (const bool started : {false, true}) {
        SCOPED_TRACE(started ? "started device" : "device never started");
        auto& board = started ? BootedBoard() : AddedBoard();
        DEVICE_OBJECT* pdo = board.PhysicalDevice();
        ASSERT_NE(pdo->AttachedDevice, nullptr);
        const unsigned deviceDeletes = host::CallCount("IoDeleteDevice");

        board.Unload();
        EXPECT_EQ(host::CallCount("IoDeleteDevice"), deviceDeletes + 1) << "deleted once";
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_TRUE(host::SymbolicLinks().empty());
        EXPECT_EQ(pdo->AttachedDevice, nullptr) << "detached";
        ASSERT_EQ(host::Interfaces().size(), 1u);
        EXPECT_FALSE(host::Interfaces()[0].enabled);
        EXPECT_EQ(host::OutstandingPoolWithTag(host::kInterfaceNameTag), 0u);
        EXPECT_EQ(host::CheckForLeaks(), 0u);
    }
}

}  // namespace
