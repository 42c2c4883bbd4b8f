// Device creation: the device object and its extension, the link, the interface and its
// published Win32 name, one device at a time, every failure path and its undo, and the
// service path copy at its limit.
#include "SupplyBoardTest.h"

namespace {

const std::u16string kInterfaceName =
    u"\\??\\ROOT#SYSTEM#0000#{3cab894e-068a-4a17-b784-008a72a7cb30}";
const std::u16string kWin32InterfaceName =
    u"\\\\.\\ROOT#SYSTEM#0000#{3cab894e-068a-4a17-b784-008a72a7cb30}";

std::u16string Text(const UNICODE_STRING& string) {
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

std::optional<host::RegistryValue> InterfaceNameValue() {
    return host::FindRegistryValue(simboard::kServiceKeyPath, u"InterfaceName");
}

class DeviceCreationTest : public SupplyBoardTest {};

TEST_F(DeviceCreationTest, NewDeviceIsSetUpCompletely) {
    auto& board = AddedBoard();
    DEVICE_OBJECT* device = board.Device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO),
              ULONG{DO_POWER_PAGABLE | DO_DIRECT_IO});
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_UNKNOWN});
    EXPECT_EQ(device->Characteristics, 0u);

    const DEVICE_EXTENSION* extension = Extension();
    EXPECT_EQ(extension->m_pDeviceObject, device);
    EXPECT_EQ(extension->m_pPhysicalDeviceObject, board.PhysicalDevice());
    EXPECT_EQ(extension->m_pNextLowerDriver, board.PhysicalDevice());
    EXPECT_EQ(board.PhysicalDevice()->AttachedDevice, device);
    EXPECT_EQ(extension->m_ChipsetType, 0u);
    EXPECT_EQ(extension->m_PWR1Status, 0);
    EXPECT_EQ(extension->m_PWR2Status, 0);
    EXPECT_EQ(extension->m_RegistryPath.MaximumLength, 260);
    EXPECT_EQ(extension->m_RegistryPath.Buffer, extension->m_RegistryPathBuffer);
    EXPECT_EQ(Text(extension->m_RegistryPath), std::u16string(simboard::kServiceKeyPath));
    EXPECT_EQ(Text(extension->m_InterfaceName), kInterfaceName);

    EXPECT_EQ(host::SymbolicLinkTarget(simboard::kLinkName), std::u16string(simboard::kDeviceName));
    ASSERT_EQ(host::Interfaces().size(), 1u);
    EXPECT_EQ(host::Interfaces()[0].symbolicLink, kInterfaceName);
    EXPECT_FALSE(host::Interfaces()[0].enabled) << "enabled only at start";

    const std::string debugText = host::DebugText();
    EXPECT_NE(debugText.find("Registered interface name: L\"\\??\\ROOT#SYSTEM#0000#"
                             "{3cab894e-068a-4a17-b784-008a72a7cb30}\".\n\n"),
              std::string::npos)
        << debugText;
    EXPECT_TRUE(debugText.ends_with("\".\n\n"));
}

// "InterfaceName": the Win32 form of the name in exactly MaximumLength bytes, zeros after.
TEST_F(DeviceCreationTest, InterfaceNameValueHoldsTheWin32Path) {
    AddedBoard();
    const auto value = InterfaceNameValue();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG{REG_SZ});
    const UNICODE_STRING& name = Extension()->m_InterfaceName;
    ASSERT_EQ(value->data.size(), name.MaximumLength);
    std::vector<std::uint8_t> expected(name.MaximumLength, 0);
    std::memcpy(expected.data(), kWin32InterfaceName.data(), kWin32InterfaceName.size() * 2);
    EXPECT_EQ(value->data, expected);
}

TEST_F(DeviceCreationTest, SecondDeviceNodeCollidesWithTheFirstDevice) {
    auto& board = AddedBoard();
    DEVICE_OBJECT* first = board.Device();
    EXPECT_EQ(board.Add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host::LiveDeviceCount(), 1u);
    EXPECT_EQ(board.Device(), first);
    EXPECT_EQ(host::SymbolicLinks().size(), 1u);
}

struct FailureCase {
    const char* name;
    const char* routine;
    NTSTATUS injected;  // 0: the routine's usual failure
    NTSTATUS expected;
    const char* debugLine;  // printed by the failure path, or nullptr
    bool interfaceRegistered;
};

// Each failing step: its status handed back, what was made undone, nothing left after
// unload, the verifier silent (the fixture checks).
TEST_F(DeviceCreationTest, EveryFailurePathUndoesWhatItMade) {
    const FailureCase cases[] = {
        {"IoCreateDevice", "IoCreateDevice", STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, nullptr,
         false},
        {"IoCreateSymbolicLink", "IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION,
         STATUS_OBJECT_NAME_COLLISION, nullptr, false},
        {"IoRegisterDeviceInterface", "IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST, "Failed to IoRegisterDeviceInterface - 0xC0000010.\n\n",
         false},
        {"InterfaceName buffer", "ExAllocatePoolWithTag", 0, STATUS_INSUFFICIENT_RESOURCES, nullptr,
         true},
        {"attach yields no lower device", "IoAttachDeviceToDeviceStack", 0, STATUS_NO_SUCH_DEVICE,
         nullptr, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto& board = MakeBoard();
        ASSERT_EQ(board.Load(), STATUS_SUCCESS);
        const auto poolAfterLoad = host::OutstandingPool();
        host::FailCall(test.routine, host::CallCount(test.routine) + 1, test.injected);

        EXPECT_EQ(board.Add(), test.expected);
        EXPECT_EQ(board.Device(), nullptr);
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_TRUE(host::SymbolicLinks().empty());
        EXPECT_EQ(board.PhysicalDevice()->AttachedDevice, nullptr);
        EXPECT_EQ(host::OutstandingPool().size(), poolAfterLoad.size()) << "only the path copy";
        EXPECT_EQ(host::OutstandingPoolWithTag(host::kInterfaceNameTag), 0u);
        // A registration stays behind: nothing in the driver undoes it.
        EXPECT_EQ(host::Interfaces().size(), test.interfaceRegistered ? 1u : 0u);
        for (const auto& entry : host::Interfaces()) {
            EXPECT_FALSE(entry.enabled);
        }
        if (test.debugLine != nullptr) {
            EXPECT_TRUE(host::DebugText().ends_with(test.debugLine)) << host::DebugText();
        } else {
            EXPECT_EQ(host::DebugText().find("Failed to"), std::string::npos);
        }
        if (std::string_view(test.routine) != "IoAttachDeviceToDeviceStack") {
            EXPECT_FALSE(InterfaceNameValue().has_value());
        }

        board.Unload();
        EXPECT_EQ(host::CheckForLeaks(), 0u);
    }
}

// 131 characters: the device keeps the first 130 and a NUL; the path names no key then,
// so "ChipsetType" cannot be written and the start goes on without it.
TEST_F(DeviceCreationTest, LongServicePathIsCutTo130Characters) {
    simboard::BoardOptions options;
    options.registryPath = std::u16string(simboard::kServiceKeyPath) + u"\\";
    options.registryPath.append(131 - options.registryPath.size(), u'x');
    ASSERT_EQ(options.registryPath.size(), 131u);
    auto& board = AddedBoard(options);

    const DEVICE_EXTENSION* extension = Extension();
    EXPECT_EQ(extension->m_RegistryPath.Length, 260);
    EXPECT_EQ(Text(extension->m_RegistryPath), options.registryPath.substr(0, 130));
    EXPECT_EQ(extension->m_RegistryPathBuffer[130], u'\0');

    EXPECT_EQ(board.Start().status, STATUS_SUCCESS);
    EXPECT_FALSE(host::FindRegistryValue(options.registryPath, u"ChipsetType").has_value());
    for (const auto& value : host::RegistryValues()) {
        EXPECT_NE(value.name, u"ChipsetType");
    }
}

// The service installed under another name: the fixed key is absent, so "InterfaceName"
// cannot be written, and the device is created all the same.
TEST_F(DeviceCreationTest, FailedRegistryWriteDoesNotFailCreation) {
    simboard::BoardOptions options;
    options.registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OtherName";
    options.serviceKey = false;
    auto& board = AddedBoard(options);
    EXPECT_NE(board.Device(), nullptr);
    EXPECT_FALSE(InterfaceNameValue().has_value());
    for (const auto& value : host::RegistryValues()) {
        EXPECT_NE(value.name, u"InterfaceName");
    }
    // The start writes "ChipsetType" under the path it was given.
    EXPECT_EQ(board.Start().status, STATUS_SUCCESS);
    EXPECT_TRUE(host::FindRegistryValue(options.registryPath, u"ChipsetType").has_value());
}

}  // namespace
