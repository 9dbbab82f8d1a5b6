// Both back ends over emulated drives on the virtual clock, as emulated runs use them.
#include <gtest/gtest.h>

#include <memory>

#include "emu/emulated_drive.h"
#include "scsi/linux_backends.h"
#include "support/test_env.h"

namespace {

struct EmuRig {
    TestEnv env;
    std::unique_ptr<EmulatedDevicePort> port;
    std::unique_ptr<TransportSet> backends;

    EmuRig(TransportChoice choice, const std::string& option) {
        EmulatedDriveSpec spec;
        std::string error;
        EXPECT_TRUE(ParseEmulateOption(option, spec, error)) << error;
        port =
            std::make_unique<EmulatedDevicePort>(std::vector<EmulatedDriveSpec>{spec}, env.clock);
        rt().devices = port.get();
        rt().transport = choice;
        backends = std::make_unique<TransportSet>();
        env.clock.SetAfterAdvance([] { TransportQuiesce(); });
        EXPECT_EQ(InitTransport(), 1);
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        EXPECT_EQ(driveCount, 1);
        EXPECT_EQ(OpenDrive(driveTable[0]), 1);
    }
    ~EmuRig() {
        CloseDrive();
        env.clock.SetAfterAdvance(nullptr);
    }
};

}  // namespace

// A command that the drive finishes at once is seen finished after the first sleep, however
// the worker thread is scheduled: a settling wait must not report it still running.
TEST(EmulatedTransport, NoWaitCommandIsDoneByTheNextSleep) {
    for (TransportChoice choice : {TransportChoice::Sr, TransportChoice::Sg}) {
        for (int round = 0; round < 50; ++round) {
            EmuRig rig(choice, "LDMULTI");
            uint8_t tur[12] = {};  // no disc: ends with CHECK CONDITION 02/3A/00
            ASSERT_EQ(ExecCommandEx(0, XFER_NONE, tur, nullptr, 0), 1);
            SleepMs(1000);
            ASSERT_EQ(PollCommand(), 2) << "round " << round;
            EXPECT_EQ(lastCommandError.senseKey, 0x02);
            EXPECT_EQ(lastCommandError.asc, 0x3A);
        }
    }
}

TEST(EmulatedTransport, HungCommandsTimeOutOnTheVirtualClock) {
    {
        // sg: the waiting command is given up after 180 s with the record's tail all 0xFF.
        EmuRig rig(TransportChoice::Sg, "LD4740,hang=00");
        uint64_t before = rig.env.clock.ElapsedMs();
        EXPECT_EQ(TestUnitReady(), 0);
        EXPECT_GE(rig.env.clock.ElapsedMs() - before, 180000u);
        for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0xFF) << i;
        // The abandoned request does not spoil the next one.
        EXPECT_EQ(TestUnitReady(), 0);
        EXPECT_EQ(lastCommandError.asc, 0x3A);
    }
    {
        // sr: a no-wait command that never completes keeps PollCommand at 0 while time passes
        // short of the kernel's time-out, then fails when the kernel gives up.
        EmuRig rig(TransportChoice::Sr, "LD4740,hang=00");
        uint8_t tur[12] = {};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, tur, nullptr, 0), 1);
        for (int s = 0; s < 10; ++s) SleepMs(1000);
        EXPECT_EQ(PollCommand(), 0);
        SleepMs(300000);
        EXPECT_EQ(PollCommand(), 2);
    }
}
