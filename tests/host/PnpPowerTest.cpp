// The bus driver and the requests of the Plug and Play and power managers.
#include "PlatformFixture.h"

#include "host/Platform.h"

namespace {

DEVICE_OBJECT* g_lower = nullptr;
IO_STACK_LOCATION g_seen{};

// A filter that passes power requests down, with or without PoStartNextPowerIrp first.
template <bool kStartNext, bool kSkip>
NTSTATUS NTAPI PassDownPower(DEVICE_OBJECT*, IRP* irp) {
    g_seen = *IoGetCurrentIrpStackLocation(irp);
    if (kStartNext) {
        PoStartNextPowerIrp(irp);
    }
    if (kSkip) {
        IoSkipCurrentIrpStackLocation(irp);
    } else {
        IoCopyCurrentIrpStackLocationToNext(irp);
    }
    return PoCallDriver(g_lower, irp);
}

class PnpPowerTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        driver_ = host::CreateDriverObject(u"\\Driver\\Test");
        pdo_ = host::CreateBusDevice();
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        g_lower = IoAttachDeviceToDeviceStack(device_, pdo_);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override {
        IoDetachDevice(pdo_);
        IoDeleteDevice(device_);
        EXPECT_EQ(host::CheckForLeaks(), 0u);
        PlatformTest::TearDown();
    }

    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* pdo_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
};

TEST_F(PnpPowerTest, PowerRequestsCarryTheirParametersAndReachTheBus) {
    driver_->MajorFunction[IRP_MJ_POWER] = PassDownPower<true, true>;
    host::SetBusPowerBehaviour({STATUS_SUCCESS, 0, false});
    const auto result = host::SendPower(pdo_, IRP_MN_SET_POWER, SystemPowerState,
                                        PowerSystemSleeping3, PowerActionSleep);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(g_seen.MajorFunction, IRP_MJ_POWER);
    EXPECT_EQ(g_seen.MinorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(g_seen.Parameters.Power.Type, SystemPowerState);
    EXPECT_EQ(g_seen.Parameters.Power.State.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(g_seen.Parameters.Power.ShutdownType, PowerActionSleep);
    ASSERT_EQ(host::BusRequests().size(), 1u);
    EXPECT_EQ(host::BusRequests()[0].major, IRP_MJ_POWER);
    EXPECT_EQ(host::BusRequests()[0].minor, IRP_MN_SET_POWER);
}

TEST_F(PnpPowerTest, PassingPowerDownWithoutStartNextIsReported) {
    ExpectReports(host::ReportKind::Power);
    struct Case {
        PDRIVER_DISPATCH dispatch;
        bool reported;
    };
    const Case cases[] = {
        {PassDownPower<true, true>, false},
        {PassDownPower<true, false>, false},
        {PassDownPower<false, true>, true},
        {PassDownPower<false, false>, true},
    };
    for (const auto& test : cases) {
        host::ClearReports();
        driver_->MajorFunction[IRP_MJ_POWER] = test.dispatch;
        host::SendPower(pdo_, IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemWorking,
                        PowerActionNone);
        EXPECT_EQ(HasReport(host::ReportKind::Power), test.reported);
    }
}

TEST_F(PnpPowerTest, PnpRequestsArePresetToNotSupportedAndTheBusAnswersAsConfigured) {
    // The default handler of a driver without a PnP routine completes at once.
    auto result = host::SendPnp(pdo_, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(host::BusRequests().empty());

    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_lower, irp);
    };
    for (const bool pending : {false, true}) {
        host::SetBusPnpBehaviour({STATUS_UNSUCCESSFUL, 3, pending});
        result = host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);
        EXPECT_EQ(result.returned, pending ? STATUS_PENDING : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.information, 3u);
    }
    host::SetBusPnpBehaviour({});
    host::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(host::InstancePath(pdo_), u"ROOT\\SYSTEM\\0000");  // the bus keeps its device
    EXPECT_EQ(host::BusRequests().size(), 3u);
}

// Like the root enumerator, the bus driver answers the requests that every driver must
// handle with the status it was configured with, and completes any other with the status
// and information it finds: what the driver above set, or the PnP manager's preset.
TEST_F(PnpPowerTest, TheBusAnswersOnlyTheRequestsEveryDriverMustHandle) {
    static bool setStatus = false;
    driver_->MajorFunction[IRP_MJ_PNP] = [](DEVICE_OBJECT*, IRP* irp) NTAPI {
        if (setStatus) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0x77;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(g_lower, irp);
    };
    struct Case {
        UCHAR minor;
        bool answered;
    };
    const Case cases[] = {
        {IRP_MN_START_DEVICE, true},
        {IRP_MN_QUERY_REMOVE_DEVICE, true},
        {IRP_MN_REMOVE_DEVICE, true},
        {IRP_MN_CANCEL_REMOVE_DEVICE, true},
        {IRP_MN_STOP_DEVICE, true},
        {IRP_MN_QUERY_STOP_DEVICE, true},
        {IRP_MN_CANCEL_STOP_DEVICE, true},
        {IRP_MN_SURPRISE_REMOVAL, true},
        {IRP_MN_QUERY_DEVICE_RELATIONS, false},
        {IRP_MN_QUERY_CAPABILITIES, false},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, false},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, false},
        {IRP_MN_DEVICE_USAGE_NOTIFICATION, false},
        {0x18, false},
    };
    for (const auto& row : cases) {
        for (const bool pending : {false, true}) {
            for (const bool set : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "minor 0x" << std::hex << int(row.minor)
                             << (pending ? ", later" : "") << (set ? ", status set above" : ""));
                setStatus = set;
                host::SetBusPnpBehaviour({STATUS_UNSUCCESSFUL, 3, pending});
                const auto result = host::SendPnp(pdo_, row.minor);
                const NTSTATUS status = row.answered ? STATUS_UNSUCCESSFUL
                                        : set        ? STATUS_SUCCESS
                                                     : STATUS_NOT_SUPPORTED;
                EXPECT_EQ(result.returned, pending ? STATUS_PENDING : status);
                EXPECT_EQ(result.status, status);
                EXPECT_EQ(result.information, row.answered ? 3u : set ? 0x77u : 0u);
            }
        }
    }
}

}  // namespace
