// What RailwatchApi puts on the wire, seen from a stand-in driver under RailwatchDrv's
// link: the control codes, the 2-byte exchange buffer going in and out, and what the
// library makes of a request that the driver fails.
#include "ApiLibraryTest.h"
#include "RailwatchApi.h"
#include "host/Win32.h"

#include <array>
#include <vector>

namespace {

constexpr ULONG kPwr1Code = 0x222444;
constexpr ULONG kPwr2Code = 0x222448;
constexpr unsigned char kUntouched = 0xEE;

// One device-control request as the stand-in saw it.
struct SeenRequest {
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
    std::array<UCHAR, 2> input;
};

// How the stand-in answers: the bytes it leaves in the system buffer and the status.
struct Reply {
    std::array<UCHAR, 2> bytes{0, 1};
    NTSTATUS status = STATUS_SUCCESS;
};

std::vector<SeenRequest> g_seen;
Reply g_reply;

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI StandInDeviceControl(DEVICE_OBJECT*, IRP* irp) {
    const IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    g_seen.push_back({location->Parameters.DeviceIoControl.IoControlCode,
                      location->Parameters.DeviceIoControl.InputBufferLength,
                      location->Parameters.DeviceIoControl.OutputBufferLength,
                      {buffer[0], buffer[1]}});
    buffer[0] = g_reply.bytes[0];
    buffer[1] = g_reply.bytes[1];
    return Complete(irp, g_reply.status, NT_SUCCESS(g_reply.status) ? 2 : 0);
}

// The stand-in: a device named like RailwatchDrv's link, answering opens and closes and
// recording every status request. Runs on both builds of the library.
class ApiExchangeTest : public ApiLibraryTest {
  protected:
    void SetUp() override {
        ApiLibraryTest::SetUp();
        if (!HasLibrary()) {
            return;
        }
        g_seen.clear();
        g_reply = Reply{};
        driver_ = host::CreateDriverObject(u"\\Driver\\StandIn");
        driver_->MajorFunction[IRP_MJ_CREATE] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
            return Complete(irp, STATUS_SUCCESS, 0);
        };
        driver_->MajorFunction[IRP_MJ_CLEANUP] = driver_->MajorFunction[IRP_MJ_CREATE];
        driver_->MajorFunction[IRP_MJ_CLOSE] = driver_->MajorFunction[IRP_MJ_CREATE];
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = StandInDeviceControl;
        RtlInitUnicodeString(&name_, u"\\Device\\StandIn");
        RtlInitUnicodeString(&link_, u"\\DosDevices\\RailwatchDrvDev");
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name_, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateSymbolicLink(&link_, &name_), STATUS_SUCCESS);
    }

    // Leaves the library with no instance, whatever the test left open.
    void TearDown() override {
        if (!HasLibrary()) {
            ApiLibraryTest::TearDown();
            return;
        }
        int marker = 0;
        auto* any = reinterpret_cast<DEVICE_HANDLE*>(&marker);
        EXPECT_EQ(Api().DeviceClose(&any), Railwatch_SUCCESS);
        EXPECT_EQ(host::OpenHandleCount(), 0u);
        EXPECT_EQ(host::OutstandingGlobalBlocks(), 0u);
        IoDeleteSymbolicLink(&link_);
        IoDeleteDevice(device_);
        host::DeleteDriverObject(driver_);
        ApiLibraryTest::TearDown();
    }

    DEVICE_HANDLE* Open() const {
        DEVICE_HANDLE* handle = nullptr;
        EXPECT_EQ(Api().DeviceOpen(&handle), Railwatch_SUCCESS);
        return handle;
    }

  private:
    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
    UNICODE_STRING name_{};
    UNICODE_STRING link_{};
};

// Each supply has its own code; the buffer is 2 bytes both ways; what goes in is the
// record's buffer: zeros after an open, then the bytes of the last exchange. A new open
// after a close starts from zeros again.
TEST_P(ApiExchangeTest, RequestsCarryTheCodeAndTheRecordsTwoByteBuffer) {
    DEVICE_HANDLE* handle = Open();
    g_reply.bytes = {0xA5, 0x01};
    unsigned char state = kUntouched;
    EXPECT_EQ(Api().Get(handle, Railwatch_PWR1, &state), Railwatch_SUCCESS);
    EXPECT_EQ(state, 0x01);
    g_reply.bytes = {0x5A, 0x00};
    EXPECT_EQ(Api().Get(handle, Railwatch_PWR2, &state), Railwatch_SUCCESS);
    EXPECT_EQ(state, 0x00);

    DEVICE_HANDLE* variable = handle;
    ASSERT_EQ(Api().DeviceClose(&variable), Railwatch_SUCCESS);
    handle = Open();
    EXPECT_EQ(Api().Get(handle, Railwatch_PWR2, &state), Railwatch_SUCCESS);

    ASSERT_EQ(g_seen.size(), 3u);
    const std::array<ULONG, 3> codes{kPwr1Code, kPwr2Code, kPwr2Code};
    const std::array<std::array<UCHAR, 2>, 3> inputs{{{0x00, 0x00}, {0xA5, 0x01}, {0x00, 0x00}}};
    for (std::size_t i = 0; i < g_seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_seen[i].code, codes[i]);
        EXPECT_EQ(g_seen[i].inputLength, 2u);
        EXPECT_EQ(g_seen[i].outputLength, 2u);
        EXPECT_EQ(g_seen[i].input, inputs[i]);
    }
}

// A request the driver fails hands out no state: code 3, the caller's byte as it was, and
// the reason DeviceIoControl gave left for GetLastError.
TEST_P(ApiExchangeTest, AFailedRequestLeavesTheByteAndTheReason) {
    DEVICE_HANDLE* handle = Open();
    unsigned char state = kUntouched;
    ASSERT_EQ(Api().Get(handle, Railwatch_PWR1, &state), Railwatch_SUCCESS);
    ASSERT_EQ(state, 1);

    for (const NTSTATUS status : {STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,
                                  STATUS_DELETE_PENDING, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(::testing::Message() << std::hex << status);
        g_reply = Reply{{0x00, 0x00}, status};
        state = kUntouched;
        SetLastError(0);
        EXPECT_EQ(Api().Get(handle, Railwatch_PWR2, &state), Railwatch_INVALID_HANDLE);
        EXPECT_EQ(state, kUntouched);
        EXPECT_EQ(GetLastError(), host::Win32ErrorFromStatus(status));
    }

    // The driver answers again: so does the library.
    g_reply = Reply{};
    EXPECT_EQ(Api().Get(handle, Railwatch_PWR2, &state), Railwatch_SUCCESS);
    EXPECT_EQ(state, 1);
}

RAILWATCH_ON_BOTH_API_BUILDS(ApiExchangeTest);

}  // namespace
