// Requests on the simulated I/O manager: passing down, completion routines on the way up,
// verifier reports for misused requests, buffered device control and opens.
#include "PlatformFixture.h"

#include "host/Platform.h"

#include <array>
#include <atomic>
#include <string>
#include <thread>

namespace {

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What the test driver's device-control routine does with a request.
struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    UCHAR fill = 0;  // written over the whole output part of the system buffer
};

Answer g_answer;
std::array<UCHAR, 16> g_seenInput{};
void* g_seenBuffer = nullptr;
std::atomic<int> g_completionCalls{0};
DEVICE_OBJECT* g_completionDevice = nullptr;

NTSTATUS CompleteWith(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI CreateClose(DEVICE_OBJECT*, IRP* irp) { return CompleteWith(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI Echo(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    g_seenBuffer = irp->AssociatedIrp.SystemBuffer;
    if (g_seenBuffer != nullptr) {
        std::memcpy(g_seenInput.data(), g_seenBuffer, std::min<ULONG>(in, 16));
        std::memset(g_seenBuffer, g_answer.fill, out);
    }
    return CompleteWith(irp, g_answer.status, g_answer.information);
}

// A small driver of its own over a bus device.
class IoManagerTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        g_answer = {};
        g_seenInput = {};
        g_seenBuffer = nullptr;
        g_completionCalls = 0;
        g_completionDevice = nullptr;
        driver_ = host::CreateDriverObject(u"\\Driver\\Test");
        driver_->MajorFunction[IRP_MJ_CREATE] = CreateClose;
        driver_->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
        driver_->MajorFunction[IRP_MJ_CLEANUP] = CreateClose;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo;
        pdo_ = host::CreateBusDevice();
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Test");
        ASSERT_EQ(IoCreateDevice(driver_, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        lower_ = IoAttachDeviceToDeviceStack(device_, pdo_);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\TestDev");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    FILE_OBJECT* Open() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        FILE_OBJECT* file = host::OpenFile(u"\\??\\TestDev", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* pdo_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
    DEVICE_OBJECT* lower_ = nullptr;
};

TEST_F(IoManagerTest, BufferedControlCopiesInputInAndInformationOutOnlyOnSuccess) {
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        std::size_t bytesChanged;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, 2, 2},
        {STATUS_BUFFER_ALL_ZEROS, 3, 3},  // success class: copied out too
        {STATUS_BUFFER_TOO_SMALL, 2, 0},
        {STATUS_INVALID_PARAMETER, 0, 0},
    };
    FILE_OBJECT* file = Open();
    for (const auto& test : cases) {
        g_answer = {test.status, test.information, 0xAB};
        const std::array<UCHAR, 4> input{1, 2, 3, 4};
        std::array<UCHAR, 6> output{};
        const auto result = host::DeviceControl(file, kEchoCode, input.data(), 4, output.data(), 6);
        EXPECT_EQ(result.returned, test.status);
        EXPECT_EQ(result.status, test.status);
        EXPECT_EQ(result.information, test.information);
        EXPECT_EQ(g_seenInput[0], 1);
        EXPECT_EQ(g_seenInput[3], 4);
        for (std::size_t i = 0; i < output.size(); ++i) {
            EXPECT_EQ(output[i], i < test.bytesChanged ? 0xAB : 0) << "byte " << i;
        }
    }
    EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);
}

TEST_F(IoManagerTest, NoSystemBufferWhenAskedOrWhenBothLengthsAreZero) {
    FILE_OBJECT* file = Open();
    UCHAR byte = 7;
    host::DeviceControl(file, kEchoCode, &byte, 1, &byte, 1, false);
    EXPECT_EQ(g_seenBuffer, nullptr);
    host::DeviceControl(file, kEchoCode, nullptr, 0, nullptr, 0);
    EXPECT_EQ(g_seenBuffer, nullptr);
    host::CloseFile(file);
}

TEST_F(IoManagerTest, InformationBeyondTheOutputLengthIsReportedAndClamped) {
    ExpectReports(host::ReportKind::Irp);
    FILE_OBJECT* file = Open();
    g_answer = {STATUS_SUCCESS, 5, 0xCD};
    std::array<UCHAR, 4> output{};
    host::DeviceControl(file, kEchoCode, nullptr, 0, output.data(), 2);
    EXPECT_TRUE(HasReport(host::ReportKind::Irp));
    EXPECT_EQ(output[2], 0);  // only the two bytes of the output length come back
    host::CloseFile(file);
}

TEST_F(IoManagerTest, OpensRefusedForMissingLinksAndInitialisingDevices) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(host::OpenFile(u"\\DosDevices\\Nothing", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    device_->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(host::OpenFile(u"\\DosDevices\\TestDev", &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    driver_->MajorFunction[IRP_MJ_CREATE] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
        return CompleteWith(irp, STATUS_ACCESS_DENIED);
    };
    EXPECT_EQ(host::OpenFile(u"\\DosDevices\\TestDev", &status), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
}

// An exclusive device takes one open file at a time: a second open while one is open is
// refused before its driver sees it, and a refused or closed open leaves the device free.
TEST_F(IoManagerTest, ExclusiveDeviceTakesOneOpenFileAtATime) {
    static std::atomic<int> creates{0};
    static std::atomic<bool> refuse{false};
    driver_->MajorFunction[IRP_MJ_CREATE] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
        ++creates;
        return CompleteWith(irp, refuse ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS);
    };
    for (const BOOLEAN exclusive : {FALSE, TRUE}) {
        SCOPED_TRACE(exclusive ? "exclusive" : "not exclusive");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Once");
        DEVICE_OBJECT* device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
                  STATUS_SUCCESS);
        EXPECT_EQ((device->Flags & DO_EXCLUSIVE) != 0, exclusive != FALSE);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Once");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        creates = 0;
        NTSTATUS status = STATUS_UNSUCCESSFUL;

        refuse = true;
        EXPECT_EQ(host::OpenFile(u"\\??\\Once", &status), nullptr);
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
        refuse = false;
        FILE_OBJECT* first = host::OpenFile(u"\\??\\Once", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        FILE_OBJECT* second = host::OpenFile(u"\\DosDevices\\Once", &status);
        EXPECT_EQ(status, exclusive ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
        EXPECT_EQ(second == nullptr, exclusive != FALSE);
        EXPECT_EQ(creates, exclusive ? 2 : 3);
        if (second != nullptr) {
            EXPECT_EQ(host::CloseFile(second), STATUS_SUCCESS);
        }
        EXPECT_EQ(host::CloseFile(first), STATUS_SUCCESS);
        FILE_OBJECT* again = host::OpenFile(u"\\??\\Once", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(host::CloseFile(again), STATUS_SUCCESS);

        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
    }
}

TEST_F(IoManagerTest, FileOnADeletedDeviceFailsWithoutReachingTheDriver) {
    FILE_OBJECT* file = Open();
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    g_answer = {STATUS_SUCCESS, 0, 0};
    const auto result = host::DeviceControl(file, kEchoCode, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(g_seenBuffer, nullptr);
    EXPECT_EQ(file->DeviceObject, device_);  // memory kept alive by the file
    EXPECT_EQ(host::CloseFile(file), STATUS_SUCCESS);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TestDev");
    IoDeleteSymbolicLink(&link);
}

// ---------------------------------------------------------------------------------------
// Completion routines
// ---------------------------------------------------------------------------------------

NTSTATUS NTAPI CountingRoutine(DEVICE_OBJECT* device, IRP*, PVOID context) {
    ++g_completionCalls;
    g_completionDevice = device;
    return *static_cast<NTSTATUS*>(context);
}

NTSTATUS g_routineResult = STATUS_SUCCESS;

// Sends every PnP request down with a completion routine; completes it again itself
// when the routine stopped the completion.
NTSTATUS NTAPI ForwardWithRoutine(DEVICE_OBJECT* device, IRP* irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CountingRoutine, &g_routineResult, TRUE, TRUE, TRUE);
    auto* lower = *static_cast<DEVICE_OBJECT**>(device->DeviceExtension);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (g_routineResult == STATUS_MORE_PROCESSING_REQUIRED) {
        EXPECT_NE(status, STATUS_PENDING);
        irp->IoStatus.Information = 42;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

TEST_F(IoManagerTest, CompletionRoutinesRunOnTheWayUpAndMoreProcessingStopsCompletion) {
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    driver_->MajorFunction[IRP_MJ_PNP] = ForwardWithRoutine;
    host::SetBusPnpBehaviour({STATUS_UNSUCCESSFUL, 7, false});
    for (const NTSTATUS routineResult : {STATUS_SUCCESS, STATUS_MORE_PROCESSING_REQUIRED}) {
        g_routineResult = routineResult;
        g_completionCalls = 0;
        const auto result = host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
        EXPECT_EQ(g_completionCalls, 1);
        EXPECT_EQ(g_completionDevice, device_);  // the driver that set the routine
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.information, routineResult == STATUS_SUCCESS ? 7u : 42u);
    }
}

TEST_F(IoManagerTest, CompletionRoutineIsSkippedWhenItsInvokeBitDoesNotMatch) {
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CountingRoutine, &g_routineResult, FALSE, TRUE, FALSE);
        return IoCallDriver(*static_cast<DEVICE_OBJECT**>(device->DeviceExtension), irp);
    };
    g_routineResult = STATUS_SUCCESS;
    host::SetBusPnpBehaviour({STATUS_SUCCESS, 0, false});
    host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(g_completionCalls, 0);
    host::SetBusPnpBehaviour({STATUS_NOT_SUPPORTED, 0, false});
    host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(g_completionCalls, 1);
}

TEST_F(IoManagerTest, PendingBusCompletionFromAnotherThreadReachesTheWaitingDriver) {
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](DEVICE_OBJECT*, IRP*, PVOID context) NTAPI -> NTSTATUS {
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(*static_cast<DEVICE_OBJECT**>(device->DeviceExtension), irp);
        EXPECT_EQ(status, STATUS_PENDING);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        return CompleteWith(irp, status, irp->IoStatus.Information);
    };
    host::SetBusPnpBehaviour({STATUS_SUCCESS, 9, true});
    const auto result = host::SendPnp(pdo_, IRP_MN_START_DEVICE);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 9u);
}

// What the top driver of a two-location stack saw of its request.
struct SeenLocations {
    int stackCount = 0;
    int inDispatch = 0;              // CurrentLocation in the dispatch routine
    int inRoutine = 0;               // and in the completion routine
    bool dispatchBehindIrp = false;  // the current location lies where the count says
    bool routineBehindIrp = false;
    bool pendingInRoutine = false;
};
SeenLocations g_seen;

bool CurrentLocationBehindIrp(IRP* irp) {
    const auto* first = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
    return IoGetCurrentIrpStackLocation(irp) == first + (irp->CurrentLocation - 1);
}

TEST_F(IoManagerTest, StackLocationsFollowTheRequestAndCountDownFromTheTop) {
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
        g_seen.stackCount = irp->StackCount;
        g_seen.inDispatch = irp->CurrentLocation;
        g_seen.dispatchBehindIrp = CurrentLocationBehindIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](DEVICE_OBJECT*, IRP* irp, PVOID) NTAPI -> NTSTATUS {
                g_seen.inRoutine = irp->CurrentLocation;
                g_seen.routineBehindIrp = CurrentLocationBehindIrp(irp);
                g_seen.pendingInRoutine = irp->PendingReturned != FALSE;
                if (irp->PendingReturned) {
                    IoMarkIrpPending(irp);
                }
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(*static_cast<DEVICE_OBJECT**>(device->DeviceExtension), irp);
    };
    for (const bool pending : {false, true}) {
        g_seen = {};
        host::SetBusPnpBehaviour({STATUS_SUCCESS, 0, pending});
        const auto result = host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
        EXPECT_EQ(result.returned, pending ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(g_seen.stackCount, 2);
        EXPECT_EQ(g_seen.inDispatch, 2) << "the top driver has the last location";
        EXPECT_EQ(g_seen.inRoutine, 2) << "its routine runs back at its own location";
        EXPECT_TRUE(g_seen.dispatchBehindIrp);
        EXPECT_TRUE(g_seen.routineBehindIrp);
        EXPECT_EQ(g_seen.pendingInRoutine, pending) << "the bus driver's pending mark";
    }
}

TEST_F(IoManagerTest, PendingPassedUpIsSeenByTheSender) {
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*static_cast<DEVICE_OBJECT**>(device->DeviceExtension), irp);
    };
    host::SetBusPnpBehaviour({STATUS_UNSUCCESSFUL, 0, true});
    const auto result = host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
}

TEST_F(IoManagerTest, MisusedRequestsAreReported) {
    ExpectReports(host::ReportKind::Irp);
    struct Case {
        const char* what;
        PDRIVER_DISPATCH dispatch;
    };
    const Case cases[] = {
        {"completed twice",
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         }},
        {"never completed", [](DEVICE_OBJECT*, IRP*) NTAPI { return STATUS_SUCCESS; }},
        {"completed under a spin lock",
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
             CompleteWith(irp, STATUS_SUCCESS);
             KeReleaseSpinLock(&lock, old);
             return STATUS_SUCCESS;
         }},
        {"no stack location left",
         [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
             // Passes the request to itself: the stack has no room for that.
             IoCopyCurrentIrpStackLocationToNext(irp);
             const NTSTATUS status = IoCallDriver(device, irp);
             return status == STATUS_INVALID_DEVICE_REQUEST ? CompleteWith(irp, STATUS_SUCCESS)
                                                            : status;
         }},
        {"location index and pointer disagree",
         [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
             // Steps the pointer down by hand and leaves the index where it was.
             IoCopyCurrentIrpStackLocationToNext(irp);
             irp->Tail.Overlay.CurrentStackLocation--;
             IoCallDriver(device, irp);
             irp->Tail.Overlay.CurrentStackLocation++;
             return CompleteWith(irp, STATUS_SUCCESS);
         }},
    };
    for (const auto& test : cases) {
        host::ClearReports();
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = test.dispatch;
        host::DeviceControlTo(device_, kEchoCode, nullptr, 0, nullptr, 0);
        EXPECT_TRUE(HasReport(host::ReportKind::Irp)) << test.what;
    }
}

// The texts of the Irp reports since the last clear, one a line.
std::string IrpReports() {
    std::string texts;
    for (const auto& report : host::Reports()) {
        if (report.kind == host::ReportKind::Irp) texts += report.text + "\n";
    }
    return texts;
}

IO_STACK_LOCATION* g_completedLocation = nullptr;

TEST_F(IoManagerTest, ACompletedRequestIsTheIoManagersAndLaterWritesAreReported) {
    ExpectReports(host::ReportKind::Irp);
    struct Case {
        const char* what;
        PDRIVER_DISPATCH dispatch;
        const char* field;  // named in the report
    };
    const Case cases[] = {
        {"status rewritten after completion",
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS, 2);
             irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
             return STATUS_SUCCESS;
         },
         "IRP::IoStatus"},
        {"own stack location written after completion",
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             g_completedLocation = IoGetCurrentIrpStackLocation(irp);
             CompleteWith(irp, STATUS_SUCCESS, 2);
             g_completedLocation->Parameters.DeviceIoControl.OutputBufferLength = 0;
             return STATUS_SUCCESS;
         },
         "IO_STACK_LOCATION::Parameters.DeviceIoControl.OutputBufferLength"},
    };
    for (const auto& test : cases) {
        host::ClearReports();
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = test.dispatch;
        std::array<UCHAR, 2> buffer{};
        const auto result = host::DeviceControlTo(device_, kEchoCode, nullptr, 0, buffer.data(), 2);
        // The outcome is the completion's, whatever the driver wrote afterwards.
        EXPECT_EQ(result.status, STATUS_SUCCESS) << test.what;
        EXPECT_EQ(result.information, 2u) << test.what;
        const std::string reports = IrpReports();
        EXPECT_NE(reports.find("written after its completion"), std::string::npos) << test.what;
        EXPECT_NE(reports.find(test.field), std::string::npos) << test.what << ": " << reports;
    }
}

NTSTATUS NTAPI SucceedOnTheWayUp(DEVICE_OBJECT*, IRP* irp, PVOID) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

TEST_F(IoManagerTest, ADispatchRoutineReturnsTheStatusItCompletedItsRequestWith) {
    ExpectReports(host::ReportKind::Irp);
    *static_cast<DEVICE_OBJECT**>(device_->DeviceExtension) = lower_;
    struct Case {
        const char* what;
        UCHAR major;
        PDRIVER_DISPATCH dispatch;
        bool reported;
    };
    const Case cases[] = {
        {"completed with success, returned a failure", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_UNSUCCESSFUL;
         },
         true},
        {"completed with a failure, returned success", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_INVALID_PARAMETER);
             return STATUS_SUCCESS;
         },
         true},
        {"returned pending without marking the request", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         },
         true},
        {"marked pending, completed, returned pending", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             IoMarkIrpPending(irp);
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         },
         false},
        {"returned the completion status", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI { return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL); },
         false},
        {"passed down: the lower driver's status, changed on the way up", IRP_MJ_DEVICE_CONTROL,
         [](DEVICE_OBJECT* device, IRP* irp) NTAPI {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, SucceedOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(*static_cast<DEVICE_OBJECT**>(device->DeviceExtension), irp);
         },
         false},
        {"open completed with success, returned a failure", IRP_MJ_CREATE,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_UNSUCCESSFUL;
         },
         true},
        {"close completed with success, returned a failure", IRP_MJ_CLOSE,
         [](DEVICE_OBJECT*, IRP* irp) NTAPI {
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_UNSUCCESSFUL;
         },
         true},
    };
    for (const auto& test : cases) {
        driver_->MajorFunction[IRP_MJ_CREATE] = CreateClose;
        driver_->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
        driver_->MajorFunction[test.major] = test.dispatch;
        host::ClearReports();
        if (test.major == IRP_MJ_DEVICE_CONTROL) {
            host::DeviceControlTo(device_, kEchoCode, nullptr, 0, nullptr, 0);
        } else {
            host::CloseFile(Open());
        }
        const std::string reports = IrpReports();
        EXPECT_EQ(reports.find("for a request it completed with") != std::string::npos,
                  test.reported)
            << test.what << ": " << reports;
    }
}

TEST_F(IoManagerTest, ManyThreadsSendRequestsAtOnce) {
    FILE_OBJECT* file = Open();
    g_answer = {STATUS_SUCCESS, 0, 0};
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        buffer[1] = static_cast<UCHAR>(buffer[0] + 1);
        return CompleteWith(irp, STATUS_SUCCESS, 2);
    };
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                std::array<UCHAR, 2> buffer{static_cast<UCHAR>(t * 50 + i), 0};
                host::DeviceControl(file, kEchoCode, buffer.data(), 2, buffer.data(), 2);
                wrong += buffer[1] != static_cast<UCHAR>(buffer[0] + 1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    host::CloseFile(file);
}

}  // namespace
