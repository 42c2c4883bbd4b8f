// Power requests: which system transitions latch the supplies or probe the controller,
// the message each prints, and that every request goes down after PoStartNextPowerIrp.
#include "SupplyBoardTest.h"

namespace {

// A distinctive status for the bus driver to finish power requests with: handed back as is.
const host::BusBehaviour kLowerPower{STATUS_OBJECT_NAME_EXISTS, 0x77, false};

std::string Message(const char* heading, int pwr1, int pwr2) {
    return std::string(heading) + "\n m_PWR1Status = 0x" + std::to_string(pwr1) +
           " \n m_PWR2Status = 0x" + std::to_string(pwr2) + " \n\n";
}

enum class Effect { None, Latch, Probe };

struct PowerCase {
    const char* name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    POWER_ACTION action;
    Effect effect;
    const char* heading;  // the message's first line, without its line break
};

class PowerTest : public SupplyBoardTest {
  protected:
    // A booted board with supply 1 good and supply 2 failed, power requests finished by
    // the bus driver with kLowerPower.
    simboard::SimulatedBoard& PoweredBoard() {
        simboard::BoardOptions options;
        options.pwr1 = true;
        options.pwr2 = false;
        auto& board = BootedBoard(options);
        host::SetBusPowerBehaviour(kLowerPower);
        host::ClearDebugText();
        host::ClearPortTrace();
        return board;
    }

    // Sends the request and checks what every power request shares: it goes down once,
    // after PoStartNextPowerIrp, and comes back with the bus driver's result.
    void Send(simboard::SimulatedBoard& board, const PowerCase& row) {
        const auto requestsBefore = host::BusRequests().size();
        const unsigned startsBefore = host::CallCount("PoStartNextPowerIrp");

        const auto result = board.Power(row.minor, row.type, row.state, row.action);

        EXPECT_EQ(result.returned, kLowerPower.status);
        EXPECT_EQ(result.status, kLowerPower.status);
        EXPECT_EQ(result.information, kLowerPower.information);
        EXPECT_EQ(host::CallCount("PoStartNextPowerIrp") - startsBefore, 1u);
        const auto requests = host::BusRequests();
        ASSERT_EQ(requests.size(), requestsBefore + 1);
        EXPECT_EQ(requests.back().major, IRP_MJ_POWER);
        EXPECT_EQ(requests.back().minor, row.minor);
    }
};

TEST_F(PowerTest, EachTransitionHasItsEffectAndMessage) {
    const PowerCase cases[] = {
        {"sleep to S1", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping1, PowerActionSleep,
         Effect::Latch, "System Stand by:"},
        {"sleep to S2", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping2, PowerActionSleep,
         Effect::Latch, "System Stand by:"},
        {"sleep to S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep,
         Effect::Latch, "System Stand by:"},
        {"sleep back to working", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
         PowerActionSleep, Effect::Probe, "Resume from Hibernate: "},
        {"hibernate to S4", IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate,
         PowerActionHibernate, Effect::Latch, "Hibernate:"},
        {"hibernate to working", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
         PowerActionHibernate, Effect::Latch, "Hibernate:"},
        {"hibernate to S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3,
         PowerActionHibernate, Effect::Latch, "Hibernate:"},
        {"sleep to S4", IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate, PowerActionSleep,
         Effect::None, nullptr},
        {"sleep to S5", IRP_MN_SET_POWER, SystemPowerState, PowerSystemShutdown, PowerActionSleep,
         Effect::None, nullptr},
        {"sleep to unspecified", IRP_MN_SET_POWER, SystemPowerState, PowerSystemUnspecified,
         PowerActionSleep, Effect::None, nullptr},
        {"shutdown to S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3,
         PowerActionShutdown, Effect::None, nullptr},
        {"shutdown to working", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking,
         PowerActionShutdown, Effect::None, nullptr},
        {"no action, S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionNone,
         Effect::None, nullptr},
        {"device to D3 under sleep", IRP_MN_SET_POWER, DevicePowerState, 4, PowerActionSleep,
         Effect::None, nullptr},
        {"device to D1 under hibernate", IRP_MN_SET_POWER, DevicePowerState, 1,
         PowerActionHibernate, Effect::None, nullptr},
        {"query sleep to S3", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3,
         PowerActionSleep, Effect::None, nullptr},
        {"query hibernate", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate,
         PowerActionHibernate, Effect::None, nullptr},
        {"wait wake", IRP_MN_WAIT_WAKE, SystemPowerState, 0, PowerActionNone, Effect::None,
         nullptr},
        {"power sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, PowerActionNone,
         Effect::None, nullptr},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto& board = PoweredBoard();
        DEVICE_EXTENSION* extension = Extension();
        ASSERT_NE(extension, nullptr);

        Send(board, row);

        // A latch reads supply 1 then supply 2; a probe finds the chip on its first pair.
        const std::size_t accesses = row.effect == Effect::Latch   ? 46
                                     : row.effect == Effect::Probe ? 7
                                                                   : 0;
        EXPECT_EQ(host::PortTrace().size(), accesses);
        const bool latched = row.effect == Effect::Latch;
        EXPECT_EQ(extension->m_PWR1Status, latched ? 1 : 0);
        EXPECT_EQ(extension->m_PWR2Status, 0);
        EXPECT_EQ(host::DebugText(),
                  row.heading == nullptr ? "" : Message(row.heading, latched ? 1 : 0, 0));
    }
}

TEST_F(PowerTest, ResumePrintsWhatWasLatchedNotWhatIsNow) {
    auto& board = PoweredBoard();
    DEVICE_EXTENSION* extension = Extension();
    Send(board, {"sleep", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3,
                 PowerActionSleep, Effect::Latch, nullptr});
    board.SetSupply(1, false);
    board.SetSupply(2, true);
    host::ClearDebugText();
    host::ClearPortTrace();
    const unsigned writesBefore = host::CallCount("RtlWriteRegistryValue");

    Send(board, {"resume", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionSleep,
                 Effect::Probe, nullptr});

    EXPECT_EQ(host::DebugText(), Message("Resume from Hibernate: ", 1, 0));
    EXPECT_EQ(extension->m_PWR1Status, 1);
    EXPECT_EQ(extension->m_PWR2Status, 0);
    EXPECT_EQ(host::PortTrace().size(), 7u);
    EXPECT_EQ(host::CallCount("RtlWriteRegistryValue") - writesBefore, 1u);  // "ChipsetType"

    // The next hibernation reads the supplies as they are now.
    host::ClearDebugText();
    Send(board, {"hibernate", IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate,
                 PowerActionHibernate, Effect::Latch, nullptr});
    EXPECT_EQ(host::DebugText(), Message("Hibernate:", 0, 1));
    EXPECT_EQ(extension->m_PWR1Status, 0);
    EXPECT_EQ(extension->m_PWR2Status, 1);
}

TEST_F(PowerTest, ResumeOnWhichTheChipIsGoneStillPrints) {
    auto& board = PoweredBoard();
    host::ConfigureChip({0, 0x52, 0x41});
    const unsigned writesBefore = host::CallCount("RtlWriteRegistryValue");

    Send(board, {"resume", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerActionSleep,
                 Effect::Probe, nullptr});

    EXPECT_EQ(host::DebugText(), Message("Resume from Hibernate: ", 0, 0));
    EXPECT_EQ(host::PortTrace().size(), 14u);  // both pairs probed
    EXPECT_EQ(host::CallCount("RtlWriteRegistryValue"), writesBefore);
}

// Before a probe has found the chip there is nothing to latch: a sleep or a hibernation
// reads no port (the chip's pair is not known) and prints the values it has.
TEST_F(PowerTest, NothingIsLatchedBeforeTheChipIsKnown) {
    for (const POWER_ACTION action : {PowerActionSleep, PowerActionHibernate}) {
        SCOPED_TRACE(action);
        auto& board = AddedBoard();
        host::ClearPortTrace();
        host::ClearDebugText();
        const auto result = board.Power(IRP_MN_SET_POWER, SystemPowerState,
                                        action == PowerActionSleep ? PowerSystemSleeping3
                                                                   : PowerSystemHibernate,
                                        action);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(host::PortTrace().size(), 0u);
        EXPECT_EQ(host::DebugText(),
                  Message(action == PowerActionSleep ? "System Stand by:" : "Hibernate:", 0, 0));
    }
}

TEST_F(PowerTest, LowerDriverThatFinishesLater) {
    auto& board = PoweredBoard();
    host::SetBusPowerBehaviour({STATUS_SUCCESS, 0x12, true});

    const auto result =
        board.Power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerActionSleep);

    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0x12u);
    EXPECT_EQ(host::DebugText(), Message("System Stand by:", 1, 0));
}

}  // namespace
