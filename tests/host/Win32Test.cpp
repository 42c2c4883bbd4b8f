// The Win32 calls of the API library on the simulated I/O manager.
#include "PlatformFixture.h"

#include "host/Platform.h"
#include "host/Win32.h"

#include <array>

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
NTSTATUS g_status = STATUS_SUCCESS;

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class Win32Test : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        g_status = STATUS_SUCCESS;
        driver_ = host::CreateDriverObject(u"\\Driver\\Test");
        driver_->MajorFunction[IRP_MJ_CREATE] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
            return Complete(irp, STATUS_SUCCESS, 0);
        };
        driver_->MajorFunction[IRP_MJ_CLOSE] = driver_->MajorFunction[IRP_MJ_CREATE];
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
            static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[1] = 0x5A;
            return Complete(irp, g_status, 2);
        };
        UNICODE_STRING name;
        UNICODE_STRING link;
        RtlInitUnicodeString(&name, u"\\Device\\Test");
        RtlInitUnicodeString(&link, u"\\DosDevices\\TestDev");
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    }

    static HANDLE Open(const char* path) {
        return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    }

    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
};

TEST_F(Win32Test, OpenControlAndClose) {
    HANDLE handle = Open("\\\\.\\TestDev");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::OpenHandleCount(), 1u);
    std::array<BYTE, 2> buffer{7, 0};
    DWORD returned = 99;
    EXPECT_TRUE(
        DeviceIoControl(handle, kCode, buffer.data(), 2, buffer.data(), 2, &returned, nullptr));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 0x5A);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(Win32Test, FailuresSetTheLastError) {
    EXPECT_EQ(Open("\\\\.\\Missing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});

    host::FailCall("CreateFileA", host::CallCount("CreateFileA") + 1);
    EXPECT_EQ(Open("\\\\.\\TestDev"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});

    HANDLE handle = Open("\\\\.\\TestDev");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    g_status = STATUS_BUFFER_TOO_SMALL;
    std::array<BYTE, 2> buffer{};
    DWORD returned = 99;
    EXPECT_FALSE(
        DeviceIoControl(handle, kCode, buffer.data(), 2, buffer.data(), 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(buffer[1], 0);  // nothing copied back on failure

    IoDeleteDevice(device_);
    EXPECT_FALSE(
        DeviceIoControl(handle, kCode, buffer.data(), 2, buffer.data(), 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32Test, GlobalBlocksAreCountedAndZeroFilled) {
    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE | GMEM_ZEROINIT, 24);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 1u);
    auto* memory = static_cast<BYTE*>(GlobalLock(block));
    EXPECT_NE(static_cast<void*>(memory), block);
    EXPECT_TRUE(std::all_of(memory, memory + 24, [](BYTE b) { return b == 0; }));
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GlobalFree(block), nullptr);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
    EXPECT_EQ(GlobalFree(block), block);  // unknown now: handed back

    host::FailCall("GlobalAlloc", host::CallCount("GlobalAlloc") + 1);
    EXPECT_EQ(GlobalAlloc(GMEM_ZEROINIT, 8), nullptr);
    EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
}

TEST_F(Win32Test, StatusMapping) {
    const std::pair<NTSTATUS, DWORD> cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_BUFFER_ALL_ZEROS, ERROR_SUCCESS},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    };
    for (const auto& [status, error] : cases) {
        EXPECT_EQ(host::Win32ErrorFromStatus(status), error) << std::hex << status;
    }
}

}  // namespace
