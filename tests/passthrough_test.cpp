// The pass-through back end (/dev/srN by SG_IO) over a fake device port.
#include "scsi/passthrough.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "scsi/transport.h"
#include "support/fake_device_port.h"
#include "support/test_env.h"

namespace {

struct SrRig {
    TestEnv env;
    FakeDevicePort port{&env.clock};
    PassThroughBackend sr;

    SrRig() {
        rt().devices = &port;
        rt().transport = TransportChoice::Sr;
        SetBackends(&sr, nullptr);
    }
    ~SrRig() {
        port.Release();
        CloseDrive();
    }
    int Scan() {
        EXPECT_EQ(InitTransport(), 1);
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        return driveCount;
    }
    std::string Label(int i) const { return std::string(driveTable[i].label, 2); }
    // One drive open and a no-wait command with this answer held inside the kernel call: the
    // store command, or a READ BUFFER into `buffer` when one is given.
    bool StartHeldCommand(const FakeAnswer& answer = {}, uint8_t* buffer = nullptr,
                          uint32_t length = 0) {
        port.AddBlock(0);
        if (Scan() != 1 || OpenDrive(driveTable[0]) != 1) return false;
        uint8_t store[12] = {0xF5}, read[12] = {0x3C, 0x02};
        const uint8_t op = buffer ? read[0] : store[0];
        port.responder = [answer, op](const FakeSent& s) {
            return s.cdb[0] == op ? answer : FakeAnswer{};
        };
        port.Hold();
        if (ExecCommandEx(0, buffer ? XFER_IN : XFER_BY_OPCODE, buffer ? read : store, buffer,
                          length) != 1)
            return false;
        while (port.InCall() == 0) std::this_thread::yield();
        return true;
    }
    // The held call ends a little later, on another thread.
    std::thread ReleaseSoon() {
        return std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            port.Release();
        });
    }
};

// Polls until the no-wait command ends; the worker is real, so this spins briefly.
int PollUntilDone() {
    int s = 0;
    for (int i = 0; i < 2000000 && (s = PollCommand()) == 0; ++i) std::this_thread::yield();
    return s;
}

// Waits (briefly, in real time) until every worker, abandoned ones included, has ended.
bool WorkersEnded() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (PassThroughBackend::LiveWorkers() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    return PassThroughBackend::LiveWorkers() == 0;
}

bool Has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

// The handle the worker got for its command on `node`.
int DuplicateOf(const std::vector<std::string>& events, int node) {
    const std::string prefix = "dup " + std::to_string(node) + " ";
    for (const std::string& e : events)
        if (e.rfind(prefix, 0) == 0) return std::stoi(e.substr(prefix.size()));
    return -1;
}

TEST(PassThroughEnumerate, ListsBlockNodesInOrderWithLabelsAndInquiry) {
    SrRig rig;
    rig.port.AddBlock(12, 5, "HALVERONDVD-RAM QM-R5   ");
    rig.port.AddBlock(0);
    rig.port.AddBlock(3, 0x25);  // listed anyway: every CD/DVD block device is counted
    ASSERT_EQ(rig.Scan(), 3);
    EXPECT_EQ(driveTable[0].node, "/dev/sr0");
    EXPECT_EQ(driveTable[1].node, "/dev/sr3");
    EXPECT_EQ(driveTable[2].node, "/dev/sr12");
    EXPECT_EQ(rig.Label(0), "0 ");
    EXPECT_EQ(rig.Label(1), "3 ");
    EXPECT_EQ(rig.Label(2), "12");
    EXPECT_EQ(std::string(driveTable[2].IdentityText(), 24), "HALVERONDVD-RAM QM-R5   ");
    EXPECT_EQ(driveTable[2].inquiry[55], 55);  // 56 bytes copied
    EXPECT_EQ(driveTable[2].inquiryEnd, 0);
    EXPECT_EQ(driveTable[1].inquiry[0], 0x25);
    // The enumeration INQUIRY: allocation 64 into 64 bytes, 5 s.
    auto sent = rig.port.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 64, 0}));
    EXPECT_EQ(sent[0].dxferLen, 64u);
    EXPECT_EQ(sent[0].dxferDirection, SG_DXFER_FROM_DEV);
    EXPECT_EQ(sent[0].timeout, 5000u);
    // Nothing stays open.
    auto ev = rig.port.Events();
    EXPECT_EQ(
        std::count_if(ev.begin(), ev.end(), [](auto& e) { return e.rfind("open", 0) == 0; }),
        std::count_if(ev.begin(), ev.end(), [](auto& e) { return e.rfind("close", 0) == 0; }));
    EXPECT_TRUE(rig.env.ui.messages.empty());
}

TEST(PassThroughEnumerate, CapacityTenDropsTheEleventh) {
    SrRig rig;
    for (int i = 0; i < 11; ++i) rig.port.AddBlock(i);
    EXPECT_EQ(rig.Scan(), 10);
    EXPECT_EQ(driveTable[9].node, "/dev/sr9");
    EXPECT_EQ(std::count(rig.port.opened.begin(), rig.port.opened.end(), "/dev/sr10"), 0);
}

TEST(PassThroughEnumerate, NoDrivesNoMessage) {
    SrRig rig;
    EXPECT_EQ(rig.Scan(), 0);
    EXPECT_TRUE(rig.env.ui.messages.empty());
}

TEST(PassThroughEnumerate, OpenFailureRetriesOnceAfter1500msThenCountsAnEmptyRecord) {
    struct Case {
        int failures;
        bool listed;
        uint64_t pause;
        std::vector<std::string> messages;
    } cases[] = {
        {0, true, 0, {}},
        {1, true, 1500, {}},
        {-1, false, 1500, {"CreateFile Err 13"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        SrRig rig;
        rig.port.AddBlock(0).openFailures = c.failures;
        rig.port.AddBlock(1);
        ASSERT_EQ(rig.Scan(), 2);
        EXPECT_EQ(rig.env.clock.ElapsedMs(), c.pause);
        EXPECT_EQ(rig.env.ui.MessageTexts(), c.messages);
        EXPECT_EQ(driveTable[0].node.empty(), !c.listed);
        EXPECT_EQ(driveTable[0].label[0], c.listed ? '0' : 0);
        EXPECT_EQ(driveTable[0].inquiry[0], c.listed ? 5 : 0);
        EXPECT_EQ(driveTable[1].node, "/dev/sr1");
    }
}

TEST(PassThroughEnumerate, FailedInquiryKeepsLabelAndShowsTheError) {
    SrRig rig;
    rig.port.AddBlock(0);
    FakeAnswer a;
    a.callResult = -1;
    a.err = 5;
    rig.port.queue.push_back(a);
    ASSERT_EQ(rig.Scan(), 1);
    EXPECT_EQ(rig.env.ui.MessageTexts(),
              std::vector<std::string>{"Error IOCTL_SCSI_GET_ADDRESS ; error was 5\n"});
    EXPECT_EQ(rig.Label(0), "0 ");
    EXPECT_EQ(driveTable[0].node, "/dev/sr0");
    for (uint8_t b : driveTable[0].inquiry) EXPECT_EQ(b, 0);
}

TEST(PassThroughEnumerate, DeviceFilterListsOnlyTheGivenNodesInOrder) {
    SrRig rig;
    rig.port.AddBlock(0);
    rig.port.AddBlock(1);
    rig.port.AddBlock(2);
    rig.port.AddGeneric(0, 0, 0, 0, 0);
    rig.port.links["/dev/cdrom"] = "/dev/sr0";
    rt().deviceFilter = {"/dev/sr2", "/dev/nothing", "/dev/sg0", "/dev/cdrom", "/dev/sr0"};
    ASSERT_EQ(rig.Scan(), 2);
    EXPECT_EQ(driveTable[0].node, "/dev/sr2");
    EXPECT_EQ(driveTable[1].node, "/dev/sr0");
    EXPECT_EQ(std::count(rig.port.opened.begin(), rig.port.opened.end(), "/dev/sr1"), 0);
}

TEST(PassThroughOpen, OpensTheRecordsNode) {
    SrRig rig;
    rig.port.AddBlock(4);
    ASSERT_EQ(rig.Scan(), 1);
    rig.port.maxTransfer = 131072;
    EXPECT_EQ(OpenDrive(driveTable[0]), 1);
    EXPECT_GE(transport().openDevice, 0);
    EXPECT_EQ(driveTable[0].deviceHandle, transport().openDevice);
    EXPECT_EQ(transport().currentDrive, &driveTable[0]);
    EXPECT_EQ(TransportMaxTransfer(), 131072u);
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_EQ(rig.port.Sent().back().timeout, 300000u);
    CloseDrive();
    EXPECT_EQ(transport().openDevice, -1);
    EXPECT_EQ(rig.port.Events().back(), "close " + std::to_string(driveTable[0].deviceHandle));
}

TEST(PassThroughNoWait, StateStaysRunningUntilTheWorkerEnds) {
    SrRig rig;
    ASSERT_TRUE(rig.StartHeldCommand());
    EXPECT_EQ(PollCommand(), 0);
    EXPECT_EQ(transport().asyncState, 0);
    rig.port.Release();
    EXPECT_EQ(PollUntilDone(), 1);
    EXPECT_EQ(PollCommand(), 1);  // stays until the next no-wait command
}

TEST(PassThroughNoWait, CloseLeavesTheWorkerItsOwnHandleAndBufferAndDropsItsLateEnd) {
    SrRig rig;
    FakeAnswer late = CheckCondition(0x03, 0x0C, 0x00);
    late.data.assign(16, 0xEE);
    uint8_t buffer[16];
    std::memset(buffer, 0x11, sizeof buffer);
    ASSERT_TRUE(rig.StartHeldCommand(late, buffer, sizeof buffer));
    const int node = transport().openDevice;
    const int own = DuplicateOf(rig.port.Events(), node);
    ASSERT_GE(own, 0);
    EXPECT_NE(own, node);
    EXPECT_TRUE(Has(rig.port.Events(), "sgio-begin " + std::to_string(own)));

    // Giving up costs nothing: the node closes at once, the drive opens and answers again.
    const auto start = std::chrono::steady_clock::now();
    CloseDrive();
    EXPECT_TRUE(Has(rig.port.Events(), "close " + std::to_string(node)));
    EXPECT_EQ(PollCommand(), 2);
    ASSERT_EQ(OpenDrive(driveTable[0]), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    // The kernel ends it late: nothing of that reaches the program, and the worker closes its
    // own handle.
    rig.port.Release();
    ASSERT_TRUE(WorkersEnded());
    auto ev = rig.port.Events();
    auto end = std::find(ev.begin(), ev.end(), "sgio-end " + std::to_string(own));
    auto close = std::find(ev.begin(), ev.end(), "close " + std::to_string(own));
    ASSERT_NE(close, ev.end());
    EXPECT_LT(end - ev.begin(), close - ev.begin());
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 16), std::vector<uint8_t>(16, 0x11));
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
    EXPECT_EQ(PollCommand(), 2);
    EXPECT_EQ(ActiveBackend()->LastSent().cdb[0], 0x00);
    EXPECT_EQ(ActiveBackend()->LastSent().senseKey, 0);
}

TEST(PassThroughNoWait, NoHandleForTheWorkerMeansNotStarted) {
    SrRig rig;
    rig.port.AddBlock(0);
    ASSERT_EQ(rig.Scan(), 1);
    ASSERT_EQ(OpenDrive(driveTable[0]), 1);
    rig.port.duplicateErr = EMFILE;
    const int workers = PassThroughBackend::LiveWorkers();  // other tests' may still be ending
    uint8_t store[12] = {0xF5};
    EXPECT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, store, nullptr, 0), 0);
    EXPECT_LE(PassThroughBackend::LiveWorkers(), workers);
    for (const FakeSent& s : rig.port.Sent()) EXPECT_NE(s.cdb[0], 0xF5);
    EXPECT_EQ(lastCommandError.cdb[0], 0xF5);
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
}

TEST(PassThroughNoWait, AReapedReadLandsInTheCallersBuffer) {
    SrRig rig;
    FakeAnswer answer;
    answer.data = {1, 2, 3, 4};
    uint8_t buffer[8];
    std::memset(buffer, 0x11, sizeof buffer);
    ASSERT_TRUE(rig.StartHeldCommand(answer, buffer, sizeof buffer));
    EXPECT_EQ(buffer[0], 0x11);  // the kernel writes into the worker's copy
    rig.port.Release();
    EXPECT_EQ(PollUntilDone(), 1);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8),
              (std::vector<uint8_t>{1, 2, 3, 4, 0x11, 0x11, 0x11, 0x11}));
}

// The back end goes at once; its worker, already inside the port, keeps only the port (whose
// going waits for it) and closes its own handle when the kernel lets go.
TEST(PassThroughNoWait, ABackEndThatGoesDoesNotWaitForItsWorker) {
    TestEnv env;
    FakeDevicePort port{&env.clock};
    rt().devices = &port;
    auto sr = std::make_unique<PassThroughBackend>();
    SetBackends(sr.get(), nullptr);
    port.AddBlock(0);
    ASSERT_EQ(InitTransport(), 1);
    ASSERT_EQ(EnumerateDrives(kDriveTableCapacity, driveTable), 1);
    ASSERT_EQ(OpenDrive(driveTable[0]), 1);
    const int node = transport().openDevice;
    port.Hold();
    uint8_t store[12] = {0xF5};
    ASSERT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, store, nullptr, 0), 1);
    while (port.InCall() == 0) std::this_thread::yield();
    const int own = DuplicateOf(port.Events(), node);

    const auto start = std::chrono::steady_clock::now();
    sr.reset();  // the program ends with the command still in the kernel
    SetBackends(nullptr, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    port.Release();
    ASSERT_TRUE(WorkersEnded());
    EXPECT_TRUE(Has(port.Events(), "sgio-end " + std::to_string(own)));
    EXPECT_TRUE(Has(port.Events(), "close " + std::to_string(own)));
}

TEST(PassThroughNoWait, NextCommandWaitsForTheWorker) {
    SrRig rig;
    ASSERT_TRUE(rig.StartHeldCommand(CheckCondition(0x03, 0x0C, 0x00)));
    std::thread releaser = rig.ReleaseSoon();
    EXPECT_EQ(TestUnitReady(), 1);
    releaser.join();
    // The worker's failure did not leak into the later command's record.
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0);
    auto sent = rig.port.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].cdb[0], 0xF5);
    EXPECT_EQ(sent[2].cdb[0], 0x00);
}

TEST(PassThroughNoWait, QuiesceLetsADueCallFinish) {
    SrRig rig;
    ASSERT_TRUE(rig.StartHeldCommand());
    rig.port.callWaiting = true;
    TransportQuiesce();  // held until a later time: returns at once
    EXPECT_EQ(transport().asyncState, 0);
    rig.port.callWaiting = false;
    rig.port.callDue = true;
    std::thread releaser = rig.ReleaseSoon();
    TransportQuiesce();
    EXPECT_NE(PollCommand(), 0);  // ended: no further wait
    releaser.join();
}

// The box says what is missing; the note gives the command that grants it, and only then.
TEST(PassThroughRights, ExplainsWhatIsMissing) {
    SrRig rig;
    rt().programFile = "/opt/df/discflash";
    std::string why;
    EXPECT_TRUE(TransportMaySendAnyCommand(why));
    EXPECT_TRUE(rig.env.ui.notes.empty());
    rig.port.mayAny = false;
    EXPECT_FALSE(TransportMaySendAnyCommand(why));
    EXPECT_NE(why.find("CAP_SYS_RAWIO"), std::string::npos);
    ASSERT_EQ(rig.env.ui.notes.size(), 1u);
    EXPECT_NE(rig.env.ui.notes[0].find("sudo setcap cap_sys_rawio+ep /opt/df/discflash"),
              std::string::npos)
        << rig.env.ui.notes[0];
}

}  // namespace
