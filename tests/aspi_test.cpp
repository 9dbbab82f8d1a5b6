// The adapter/target/LUN back end (/dev/sgN, submit and collect) over a fake device port.
#include "scsi/aspi.h"

#include <gtest/gtest.h>

#include "scsi/transport.h"
#include "support/fake_device_port.h"
#include "support/test_env.h"

namespace {

struct SgRig {
    TestEnv env;
    FakeDevicePort port{&env.clock};
    AspiBackend sg;

    SgRig() {
        rt().devices = &port;
        rt().transport = TransportChoice::Sg;
        SetBackends(nullptr, &sg);
    }
    ~SgRig() { CloseDrive(); }
    int Scan() {
        EXPECT_EQ(InitTransport(), 1);
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        return driveCount;
    }
    void OpenFirst() {
        port.AddGeneric(0, 0, 0, 0, 0);
        ASSERT_EQ(Scan(), 1);
        ASSERT_EQ(OpenDrive(driveTable[0]), 1);
        port.sent.clear();
    }
    std::vector<std::string> Inquired() {
        std::vector<std::string> v;
        for (const FakeSent& s : port.Sent())
            if (s.cdb[0] == 0x12) v.push_back(s.path);
        return v;
    }
};

std::string Label(int i) {
    return std::string(driveTable[i].label, 2);
}

TEST(AspiLoad, NoGenericDriverIsTheMissingLibrary) {
    SgRig rig;
    rig.port.genericPresent = false;
    EXPECT_EQ(InitTransport(), 0);
    EXPECT_EQ(rig.env.ui.MessageTexts(), std::vector<std::string>{"WNASPI32.DLL Not Found"});
    EXPECT_EQ(IsAspiMode(), 1);
}

TEST(AspiEnumerate, WalksAdaptersTargetsLunsAndNumbersAdapters) {
    SgRig rig;
    // sg numbering deliberately unlike the address order.
    rig.port.AddGeneric(0, 2, 0, 0, 0);
    rig.port.AddGeneric(1, 0, 1, 0, 0);
    rig.port.AddGeneric(2, 0, 0, 3, 0);
    rig.port.AddGeneric(3, 0, 0, 1, 3);  // LUN 2 missing: LUN 3 still found
    rig.port.AddGeneric(4, 0, 0, 1, 0);
    rig.port.AddGeneric(5, 0, 0, 1, 1);
    ASSERT_EQ(rig.Scan(), 6);
    EXPECT_EQ(rig.sg.AdapterCount(), 3);
    struct {
        const char* node;
        int adapter, target, lun;
    } expect[] = {{"/dev/sg4", 0, 1, 0}, {"/dev/sg5", 0, 1, 1}, {"/dev/sg3", 0, 1, 3},
                  {"/dev/sg2", 0, 3, 0}, {"/dev/sg1", 1, 0, 0}, {"/dev/sg0", 2, 0, 0}};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(driveTable[i].node, expect[i].node);
        EXPECT_EQ(driveTable[i].adapterId, expect[i].adapter);
        EXPECT_EQ(driveTable[i].targetId, expect[i].target);
        EXPECT_EQ(driveTable[i].lun, expect[i].lun);
        EXPECT_EQ(Label(i), std::to_string(i) + " ");
        EXPECT_EQ(driveTable[i].inquiryEnd, 0);
    }
    EXPECT_EQ(driveTable[4].host, 0);
    EXPECT_EQ(driveTable[4].channel, 1);
    // One INQUIRY per device, allocation 255 into 1024 bytes, 20 s.
    auto sent = rig.port.Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 0xFF, 0}));
    EXPECT_EQ(sent[0].dxferLen, 1024u);
    EXPECT_EQ(sent[0].timeout, 20000u);
    EXPECT_TRUE(sent[0].async);
    EXPECT_EQ(rig.port.orphaned, 0);
}

TEST(AspiEnumerate, OnlyPeripheralType5IsListedAndTarget7NeverExamined) {
    SgRig rig;
    rig.port.AddGeneric(0, 0, 0, 0, 0, 0x00);  // disk
    rig.port.AddGeneric(1, 0, 0, 1, 0, 0x25);  // CD/DVD, qualifier 1
    rig.port.AddGeneric(2, 0, 0, 2, 0, 0x05);
    rig.port.AddGeneric(3, 0, 0, 7, 0, 0x05);
    rig.port.AddGeneric(4, 0, 0, 8, 0, 0x05);
    ASSERT_EQ(rig.Scan(), 1);
    EXPECT_EQ(driveTable[0].node, "/dev/sg2");
    EXPECT_EQ(Label(0), "0 ");
    EXPECT_EQ(rig.Inquired(), (std::vector<std::string>{"/dev/sg0", "/dev/sg1", "/dev/sg2"}));
    EXPECT_EQ(std::count(rig.port.opened.begin(), rig.port.opened.end(), "/dev/sg3"), 0);
}

TEST(AspiEnumerate, TableFullSkipsToTheNextTarget) {
    SgRig rig;
    for (int lun = 0; lun < 12; ++lun) rig.port.AddGeneric(lun, 0, 0, 0, lun);
    rig.port.AddGeneric(20, 0, 0, 1, 0);
    rig.port.AddGeneric(21, 0, 0, 1, 1);
    ASSERT_EQ(rig.Scan(), 10);
    EXPECT_EQ(Label(9), "9 ");
    EXPECT_EQ(driveTable[9].lun, 9);
    // The 11th LUN ends target 0; target 1 is tried once.
    EXPECT_EQ(rig.Inquired().size(), 12u);
    EXPECT_EQ(rig.Inquired().back(), "/dev/sg20");
}

TEST(AspiEnumerate, ShortAnswerDoesNotCarryAnEarlierTail) {
    SgRig rig;
    rig.port.AddGeneric(0, 0, 0, 0, 0);
    rig.port.AddGeneric(1, 0, 0, 1, 0);
    rig.port.responder = [&](const FakeSent& s) {
        FakeAnswer a;
        a.data = FakeDevicePort::Inquiry(5, "HALVERONSHORT");
        if (s.path == "/dev/sg1") a.data.resize(36);
        return a;
    };
    ASSERT_EQ(rig.Scan(), 2);
    EXPECT_EQ(driveTable[0].inquiry[40], 40);
    EXPECT_EQ(driveTable[1].inquiry[40], 0);
}

TEST(AspiEnumerate, UnansweredInquiryEndsTheScanAfter20s) {
    SgRig rig;
    rig.port.AddGeneric(0, 0, 0, 0, 0);
    rig.port.AddGeneric(1, 0, 0, 1, 0);
    rig.port.AddGeneric(2, 0, 0, 2, 0);
    rig.port.responder = [](const FakeSent& s) {
        FakeAnswer a;
        a.data = FakeDevicePort::Inquiry(5, "HALVERON");
        a.hang = s.path == "/dev/sg1";
        return a;
    };
    ASSERT_EQ(rig.Scan(), 1);
    EXPECT_GE(rig.env.clock.ElapsedMs(), 20000u);
    EXPECT_LT(rig.env.clock.ElapsedMs(), 21000u);
    EXPECT_EQ(rig.Inquired().size(), 2u);
    EXPECT_EQ(rig.port.orphaned, 1);  // its handle was closed, the reply dropped
}

TEST(AspiEnumerate, UnopenableNodeIsSkippedSilently) {
    SgRig rig;
    rig.port.AddGeneric(0, 0, 0, 0, 0).openFailures = -1;
    rig.port.AddGeneric(1, 0, 0, 1, 0);
    ASSERT_EQ(rig.Scan(), 1);
    EXPECT_EQ(driveTable[0].node, "/dev/sg1");
    EXPECT_TRUE(rig.env.ui.messages.empty());
    EXPECT_LT(rig.env.clock.ElapsedMs(), 1500u);  // no retry pause at listing
}

TEST(AspiEnumerate, DeviceFilterKeepsTheGivenOrder) {
    SgRig rig;
    rig.port.AddGeneric(0, 0, 0, 0, 0);
    rig.port.AddGeneric(1, 1, 0, 0, 0);
    rig.port.AddGeneric(2, 2, 0, 0, 0, 0x00);
    rig.port.AddBlock(0);
    rig.port.links["/dev/by-path/cd1"] = "/dev/sg1";
    rt().deviceFilter = {"/dev/by-path/cd1", "/dev/sr0", "/dev/sg2", "/dev/sg0", "/dev/sg1"};
    ASSERT_EQ(rig.Scan(), 2);
    EXPECT_EQ(driveTable[0].node, "/dev/sg1");
    EXPECT_EQ(driveTable[0].adapterId, 1);
    EXPECT_EQ(driveTable[1].node, "/dev/sg0");
    EXPECT_EQ(Label(1), "1 ");
}

TEST(AspiOpen, RaisesTheReservedBufferAndReportsTheLimit) {
    SgRig rig;
    rig.OpenFirst();
    ASSERT_FALSE(rig.port.reservedAsked.empty());
    EXPECT_GE(rig.port.reservedAsked.back(), 262144);
    EXPECT_EQ(TransportMaxTransfer(), static_cast<uint32_t>(rig.port.reservedAsked.back()));
    std::string why;
    EXPECT_TRUE(TransportMaySendAnyCommand(why));
    CloseDrive();
    EXPECT_EQ(TransportMaxTransfer(), 0u);
    EXPECT_FALSE(TransportMaySendAnyCommand(why));
    EXPECT_FALSE(why.empty());
}

TEST(AspiExecute, RefusedSubmissionLeavesTheStatusBytesZero) {
    SgRig rig;
    rig.OpenFirst();
    FakeAnswer refuse;
    refuse.refuse = true;
    rig.port.queue.push_back(refuse);
    uint8_t cdb[12] = {0x3B, 0x05};
    uint8_t data[8] = {};
    EXPECT_EQ(ExecCommand(cdb, data, sizeof data), 0);
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
    EXPECT_EQ(lastCommandError.cdb[0], 0x3B);
    EXPECT_EQ(lastCommandError.cdb[1], 0x05);
}

TEST(AspiExecute, GivesUpAfter180sAndTheLateReplyHarmsNothing) {
    SgRig rig;
    rig.OpenFirst();
    FakeAnswer late;
    late.hang = true;
    late.data.assign(16, 0xEE);
    rig.port.queue.push_back(late);
    uint8_t stale[16] = {};
    uint8_t cdb[12] = {0x3C, 0x02};
    uint64_t before = rig.env.clock.ElapsedMs();
    EXPECT_EQ(ExecCommand(cdb, stale, sizeof stale), 0);
    uint64_t waited = rig.env.clock.ElapsedMs() - before;
    EXPECT_GE(waited, 180000u);
    EXPECT_LT(waited, 181000u);
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0xFF) << i;

    // The next command gets its own answer; the abandoned one never lands in its buffer.
    uint8_t inquiry[12] = {0x12, 0, 0, 0, 36, 0};
    uint8_t fresh[36] = {};
    EXPECT_EQ(ExecCommand(inquiry, fresh, sizeof fresh), 1);
    EXPECT_EQ(fresh[0], 5);
    EXPECT_EQ(stale[0], 0);
    EXPECT_EQ(rig.port.orphaned, 1);
}

TEST(AspiNoWait, PollCollectsWithoutBlocking) {
    SgRig rig;
    rig.OpenFirst();
    FakeAnswer slow;
    slow.notReady = 3;
    rig.port.queue.push_back(slow);
    uint8_t cdb[12] = {0xF5};
    EXPECT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, cdb, nullptr, 0), 1);
    EXPECT_EQ(PollCommand(), 0);
    EXPECT_EQ(PollCommand(), 0);
    EXPECT_EQ(PollCommand(), 0);
    EXPECT_EQ(PollCommand(), 1);
    EXPECT_EQ(PollCommand(), 1);
    EXPECT_LT(rig.env.clock.ElapsedMs(), 100u);  // nothing waited
}

TEST(AspiNoWait, AbandonedCommandIsDroppedByCloseAndByTheNextCommand) {
    for (bool close : {true, false}) {
        SCOPED_TRACE(close ? "close" : "next command");
        SgRig rig;
        rig.OpenFirst();
        FakeAnswer never;
        never.hang = true;
        rig.port.queue.push_back(never);
        uint8_t cdb[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, cdb, nullptr, 0), 1);
        EXPECT_EQ(PollCommand(), 0);
        if (close) {
            CloseDrive();
        } else {
            EXPECT_EQ(TestUnitReady(), 1);
        }
        EXPECT_EQ(rig.port.orphaned, 1);
    }
}

}  // namespace
