// Device objects, names, symbolic links, device interfaces and device stacks.
#include "PlatformFixture.h"

#include "host/Platform.h"

namespace {

constexpr GUID kClass = {
    0x3cab894e, 0x068a, 0x4a17, {0xb7, 0x84, 0x00, 0x8a, 0x72, 0xa7, 0xcb, 0x30}};

UNICODE_STRING Counted(const WCHAR* text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

class ObjectNamespaceTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        driver_ = host::CreateDriverObject(u"\\Driver\\Test");
    }

    DEVICE_OBJECT* Create(const WCHAR* name, NTSTATUS expected = STATUS_SUCCESS) {
        UNICODE_STRING counted = Counted(name);
        DEVICE_OBJECT* device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, 16, &counted, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  expected);
        return device;
    }

    DRIVER_OBJECT* driver_ = nullptr;
};

TEST_F(ObjectNamespaceTest, DevicesAreNamedZeroFilledAndListedNewestFirst) {
    DEVICE_OBJECT* first = Create(u"\\Device\\One");
    DEVICE_OBJECT* second = Create(u"\\Device\\Two");
    EXPECT_EQ(driver_->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->Flags, ULONG{DO_DEVICE_INITIALIZING});
    EXPECT_EQ(first->StackSize, 1);
    const auto* extension = static_cast<const UCHAR*>(first->DeviceExtension);
    EXPECT_TRUE(std::all_of(extension, extension + 16, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(host::FindDevice(u"\\device\\one"), first);
    EXPECT_EQ(Create(u"\\Device\\ONE", STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(host::LiveDeviceCount(), 2u);

    IoDeleteDevice(first);
    EXPECT_EQ(driver_->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, nullptr);
    EXPECT_EQ(host::FindDevice(u"\\Device\\One"), nullptr);
    EXPECT_NE(Create(u"\\Device\\One"), nullptr);  // the name is free again
}

TEST_F(ObjectNamespaceTest, DeletingTwiceOrLeavingThingsBehindIsReported) {
    ExpectReports(host::ReportKind::Object);
    DEVICE_OBJECT* device = Create(u"\\Device\\One");
    UNICODE_STRING link = Counted(u"\\DosDevices\\OneDev");
    UNICODE_STRING name = Counted(u"\\Device\\One");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(host::CheckForLeaks(), 2u);  // the device and the link
    host::ClearReports();
    IoDeleteDevice(device);
    EXPECT_FALSE(HasReport(host::ReportKind::Object));
    IoDeleteDevice(device);
    EXPECT_TRUE(HasReport(host::ReportKind::Object));
    IoDeleteSymbolicLink(&link);
}

TEST_F(ObjectNamespaceTest, SymbolicLinksCollideAndResolveUnderBothPrefixes) {
    UNICODE_STRING link = Counted(u"\\DosDevices\\OneDev");
    UNICODE_STRING other = Counted(u"\\??\\OneDev");
    UNICODE_STRING name = Counted(u"\\Device\\One");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&other, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host::SymbolicLinkTarget(u"\\??\\OneDev"), std::u16string(u"\\Device\\One"));
    EXPECT_EQ(host::SymbolicLinks(), std::vector<std::u16string>{u"\\DosDevices\\OneDev"});
    EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(host::SymbolicLinks().empty());
}

TEST_F(ObjectNamespaceTest, InterfaceNamesFollowTheInstancePathAndPersist) {
    host::CreateBusDevice();
    DEVICE_OBJECT* pdo = host::CreateBusDevice();
    EXPECT_EQ(host::InstancePath(pdo), u"ROOT\\SYSTEM\\0001");
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_SUCCESS);
    const std::u16string expected =
        u"\\??\\ROOT#SYSTEM#0001#{3cab894e-068a-4a17-b784-008a72a7cb30}";
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), expected);
    EXPECT_EQ(name.MaximumLength, name.Length + 2);
    EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
    EXPECT_EQ(host::OutstandingPoolWithTag(host::kInterfaceNameTag), 1u);

    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(again.Buffer, again.Length / 2), expected);
    EXPECT_EQ(host::Interfaces().size(), 1u);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&name);

    DEVICE_OBJECT* notFromBus = Create(u"\\Device\\One");
    EXPECT_EQ(IoRegisterDeviceInterface(notFromBus, &kClass, nullptr, &name),
              STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(notFromBus);
}

TEST_F(ObjectNamespaceTest, InterfaceStateToggles) {
    DEVICE_OBJECT* pdo = host::CreateBusDevice();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);  // never enabled
    EXPECT_FALSE(host::Interfaces()[0].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(host::Interfaces()[0].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(host::Interfaces()[0].enabled);
    UNICODE_STRING unknown = Counted(u"\\??\\ROOT#SYSTEM#0009#{x}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&name);
}

TEST_F(ObjectNamespaceTest, EnabledInterfaceWithoutItsDeviceIsALeak) {
    ExpectReports(host::ReportKind::Object);
    DEVICE_OBJECT* pdo = host::CreateBusDevice();
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_SUCCESS);
    IoSetDeviceInterfaceState(&name, TRUE);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(host::CheckForLeaks(), 1u);
}

TEST_F(ObjectNamespaceTest, AttachStacksDevicesAndDetachUndoesIt) {
    DEVICE_OBJECT* pdo = host::CreateBusDevice();
    DEVICE_OBJECT* middle = Create(u"\\Device\\Middle");
    DEVICE_OBJECT* top = Create(u"\\Device\\Top");
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, pdo), pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, pdo), middle);  // onto the top of the stack
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(pdo->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    IoDeleteDevice(top);
    IoDetachDevice(pdo);
    IoDeleteDevice(middle);
}

TEST_F(ObjectNamespaceTest, DeletingADeviceWithAnotherOnTopIsReported) {
    ExpectReports(host::ReportKind::Object);
    DEVICE_OBJECT* lower = Create(u"\\Device\\Lower");
    DEVICE_OBJECT* upper = Create(u"\\Device\\Upper");
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    IoDeleteDevice(lower);
    EXPECT_TRUE(HasReport(host::ReportKind::Object));
}

TEST_F(ObjectNamespaceTest, InjectedFailuresReturnTheirStatus) {
    DEVICE_OBJECT* pdo = host::CreateBusDevice();
    DEVICE_OBJECT* device = Create(u"\\Device\\One");
    host::FailCall("IoCreateDevice", host::CallCount("IoCreateDevice") + 1);
    Create(u"\\Device\\Two", STATUS_INSUFFICIENT_RESOURCES);
    host::FailCall("IoAttachDeviceToDeviceStack",
                   host::CallCount("IoAttachDeviceToDeviceStack") + 1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(device, pdo), nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    UNICODE_STRING name{};
    host::FailCall("IoRegisterDeviceInterface", host::CallCount("IoRegisterDeviceInterface") + 1,
                   STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_ACCESS_DENIED);
    EXPECT_EQ(name.Buffer, nullptr);
    IoDeleteDevice(device);
}

}  // namespace
