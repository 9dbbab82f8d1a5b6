// The command interface over both Linux back ends, seen at the kernel: what each opcode and
// direction code turns into, the 0xCF refusal, the unknown-opcode message, the error record
// and the priority around a command.
#include "scsi/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "scsi/aspi.h"
#include "scsi/passthrough.h"
#include "support/fake_device_port.h"
#include "support/recording_priority.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

// The opcode table, written out independently of the code under test.
const std::set<int> kNone = {0x00, 0x01, 0x0B, 0x16, 0x17, 0x1B, 0x1E, 0x2B,
                             0x2F, 0x34, 0x35, 0x45, 0x47, 0x48, 0x49, 0x4B,
                             0x53, 0x58, 0x5B, 0xA1, 0xA5, 0xA9, 0xBB, 0xF5};
const std::set<int> kIn = {0x03, 0x08, 0x12, 0x1A, 0x1C, 0x25, 0x28, 0x3C, 0x42, 0x43, 0x44, 0x51,
                           0x52, 0x59, 0x5A, 0x5C, 0xA8, 0xAD, 0xBD, 0xBE, 0xCE, 0xD4, 0xD6};
const std::set<int> kOut = {0x04, 0x15, 0x1D, 0x2A, 0x2E, 0x3B, 0x54,
                            0x55, 0x5D, 0xAA, 0xCC, 0xCD, 0xEA};

// One drive opened on the chosen back end over a fake port.
struct Rig {
    TestEnv env;
    FakeDevicePort port{&env.clock};
    // Outlives the back ends: a worker that starts late still finds it while they are there.
    RecordingPriority priority;
    PassThroughBackend sr;
    AspiBackend sg;

    explicit Rig(bool useSg) {
        rt().devices = &port;
        rt().priority = &priority;
        rt().transport = useSg ? TransportChoice::Sg : TransportChoice::Sr;
        if (useSg)
            port.AddGeneric(0, 0, 0, 0, 0);
        else
            port.AddBlock(0);
        SetBackends(&sr, &sg);
        EXPECT_EQ(InitTransport(), 1);
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        EXPECT_EQ(driveCount, 1);
        EXPECT_EQ(OpenDrive(driveTable[0]), 1);
        port.sent.clear();
        priority.calls.clear();
    }
    ~Rig() { CloseDrive(); }
};

// Polls until the no-wait command ends; the sr worker is real, so this spins briefly.
int PollUntilDone() {
    int s = 0;
    for (int i = 0; i < 2000000 && (s = PollCommand()) == 0; ++i) std::this_thread::yield();
    return s;
}

class BothBackEnds : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Transport, BothBackEnds, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "sg" : "sr"; });

TEST_P(BothBackEnds, EveryOpcodeGoesOutWithItsDirectionAndLength) {
    Rig rig(GetParam());
    uint8_t buffer[16] = {};
    for (int op = 0; op < 256; ++op) {
        if (op == 0xCF) continue;
        SCOPED_TRACE(op);
        rig.env.ui.messages.clear();
        rig.port.sent.clear();
        uint8_t cdb[12] = {static_cast<uint8_t>(op), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), 1);  // unknown ones are sent too
        ASSERT_EQ(rig.port.sent.size(), 1u);
        const FakeSent& s = rig.port.sent[0];
        int expectLen = op < 0x20 ? 6 : op < 0x80 ? 10 : 12;
        EXPECT_EQ(s.cmdLen, expectLen);
        EXPECT_EQ(s.cdb, std::vector<uint8_t>(cdb, cdb + expectLen));
        EXPECT_EQ(s.interfaceId, 'S');
        EXPECT_EQ(s.mxSbLen, 16);
        int expectDir = kIn.count(op)     ? SG_DXFER_FROM_DEV
                        : kOut.count(op)  ? SG_DXFER_TO_DEV
                        : kNone.count(op) ? SG_DXFER_NONE
                                          : SG_DXFER_TO_FROM_DEV;
        EXPECT_EQ(s.dxferDirection, expectDir);
        EXPECT_EQ(s.dxferLen, expectDir == SG_DXFER_NONE ? 0u : sizeof buffer);
        bool known = kIn.count(op) || kOut.count(op) || kNone.count(op);
        EXPECT_EQ(rig.env.ui.MessageTexts(), known ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"Unknown Command!"});
        if (!known) {
            EXPECT_EQ(rig.env.ui.messages[0].caption, rt().appTitle);
        }
        // Bytes 0-11 of the record: the CDB as sent (the rest of the area is zero here).
        std::vector<uint8_t> area(12, 0);
        std::copy(cdb, cdb + expectLen, area.begin());
        EXPECT_EQ(std::vector<uint8_t>(lastCommandError.cdb, lastCommandError.cdb + 12), area);
    }
}

struct DirectionCase {
    const char* name;
    uint8_t opcode;
    uint8_t direction;
    uint32_t length;
    int kernelDirection;
    const char* traced;
};

TEST_P(BothBackEnds, ExplicitDirectionsAndLengthZero) {
    const DirectionCase cases[] = {
        {"0xCF in", 0xCF, XFER_IN, 8, SG_DXFER_FROM_DEV, "in"},
        {"0xCF out", 0xCF, XFER_OUT, 8, SG_DXFER_TO_DEV, "out"},
        {"none with data length", 0x3C, XFER_NONE, 8, SG_DXFER_NONE, "none"},
        {"out with length 0", 0x3B, XFER_OUT, 0, SG_DXFER_NONE, "none"},
        {"in with length 0", 0x12, XFER_IN, 0, SG_DXFER_NONE, "none"},
        {"by opcode, length 0", 0x3C, XFER_BY_OPCODE, 0, SG_DXFER_NONE, "in"},
        {"by opcode, unknown, length 0", 0xF1, XFER_BY_OPCODE, 0, SG_DXFER_NONE, "unspecified"},
    };
    for (const DirectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(GetParam());
        uint8_t buffer[8] = {};
        uint8_t cdb[12] = {c.opcode};
        EXPECT_EQ(ExecCommandEx(1, c.direction, cdb, buffer, c.length), 1);
        ASSERT_EQ(rig.port.sent.size(), 1u);
        EXPECT_EQ(rig.port.sent[0].dxferDirection, c.kernelDirection);
        uint32_t kernelLength = c.kernelDirection == SG_DXFER_NONE ? 0 : c.length;
        EXPECT_EQ(rig.port.sent[0].dxferLen, kernelLength);
        EXPECT_EQ(rig.port.sent[0].dxferp, kernelLength ? buffer : nullptr);
        EXPECT_STREQ(ActiveBackend()->LastSent().dir, c.traced);
        EXPECT_EQ(rig.port.sent[0].cmdLen, CdbLengthForOpcode(c.opcode));
    }
}

TEST_P(BothBackEnds, ZeroCfIsRefusedByExecCommandOnly) {
    Rig rig(GetParam());
    lastCommandError.senseKey = 0x55;
    uint8_t cdb[12] = {0xCF, 1, 2, 3};
    uint8_t buffer[4] = {};
    EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), 0);
    EXPECT_TRUE(rig.port.sent.empty());
    EXPECT_TRUE(rig.priority.calls.empty());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
    EXPECT_TRUE(rig.env.ui.messages.empty());
    // ExecCommandEx sends it: see ExplicitDirectionsAndLengthZero.
}

TEST_P(BothBackEnds, BufferGoesToTheKernelUncopied) {
    Rig rig(GetParam());
    std::vector<uint8_t> big(kLength64K);
    uint8_t cdb[12] = {0x3C, 0x02};
    EXPECT_EQ(ExecCommand64K(cdb, big.data()), 1);
    uint8_t none[12] = {0x3C};
    EXPECT_EQ(ExecCommand64K(none, nullptr), 1);
    ASSERT_EQ(rig.port.sent.size(), 2u);
    EXPECT_EQ(rig.port.sent[0].dxferp, big.data());
    EXPECT_EQ(rig.port.sent[0].dxferLen, kLength64K);
    EXPECT_EQ(rig.port.sent[1].dxferLen, 0u);
    EXPECT_STREQ(ActiveBackend()->LastSent().dir, "in");  // the opcode's own direction
}

// What one back end makes of an answer: the result and the record's bytes 12-14 and 19.
struct Judged {
    int result;
    uint8_t key, asc, ascq, byte19;
};

struct AnswerCase {
    const char* name;
    FakeAnswer answer;
    Judged sr, sg;
};

// Byte 19 is the SCSI status on sr and the host status on sg (DID_ERROR when the reply cannot be
// read); only sr lets sense key 0 with an ASC and ASCQ pass.
TEST_P(BothBackEnds, ResultAndErrorRecordForEachAnswer) {
    const bool sg = GetParam();
    FakeAnswer busy, host, driver, ioctlFails, noSense = CheckCondition(0x02, 0x3A, 0x00);
    busy.status = 0x08;
    host.host = 0x04;      // DID_BAD_TARGET
    driver.driver = 0x06;  // DRIVER_TIMEOUT
    ioctlFails.callResult = -1;
    noSense.sense.clear();
    // Sense bytes the drive did not vouch for are not read: its additional length covers only
    // the key; a port that claims more sense than the area holds; descriptor format.
    FakeAnswer cutSense = CheckCondition(0x04, 0x44, 0x01), saidTooMuch = cutSense,
               descriptor = CheckCondition(0, 0, 0);
    cutSense.sense[7] = 3;
    saidTooMuch.senseLengthSaid = 255;
    descriptor.sense = {0x72, 0x04, 0x44, 0x01, 0, 0, 0, 0};
    const AnswerCase cases[] = {
        {"good", {}, {1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {"no medium", CheckCondition(0x02, 0x3A, 0), {0, 2, 0x3A, 0, 2}, {0, 2, 0x3A, 0, 0}},
        {"key 0, ASC, ASCQ", CheckCondition(0, 0x5D, 1), {1, 0, 0, 0, 0}, {0, 0, 0x5D, 1, 0}},
        {"key 0, ASCQ 0", CheckCondition(0, 0x5D, 0), {0, 0, 0x5D, 0, 2}, {0, 0, 0x5D, 0, 0}},
        {"key byte whole", CheckCondition(0x22, 4, 1), {0, 0x22, 4, 1, 2}, {0, 0x22, 4, 1, 0}},
        {"no sense written", noSense, {0, 0, 0, 0, 2}, {0, 0, 0, 0, 0}},
        {"sense cut by its own length", cutSense, {0, 4, 0, 0, 2}, {0, 4, 0, 0, 0}},
        {"sense said longer than its area", saidTooMuch, {0, 4, 0x44, 1, 2}, {0, 4, 0x44, 1, 0}},
        {"descriptor-format sense", descriptor, {0, 4, 0x44, 1, 2}, {0, 4, 0x44, 1, 0}},
        {"busy", busy, {0, 0, 0, 0, 0x08}, {0, 0, 0, 0, 0}},
        {"host status", host, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0x04}},
        {"driver status", driver, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"kernel call fails", ioctlFails, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0x07}},
    };
    for (const AnswerCase& c : cases) {
        const Judged& want = sg ? c.sg : c.sr;
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? " waiting" : " no-wait"));
            Rig rig(sg);
            rig.port.queue.push_back(c.answer);
            uint8_t cdb[12] = {0x00, 0, 0, 0, 0, 0x5A};
            int r = ExecCommandEx(wait, XFER_BY_OPCODE, cdb, nullptr, 0);
            if (!wait) {  // the same judgement shows as state 1 or 2
                EXPECT_EQ(r, 1);
                if (sg) lastCommandError = CommandErrorRecord{};  // sg's Poll refills it
                const int state = PollUntilDone();
                EXPECT_EQ(state, want.result ? 1 : 2);
                r = state == 1 ? 1 : 0;
            }
            EXPECT_EQ(r, want.result);
            EXPECT_EQ(lastCommandError.senseKey, want.key);
            EXPECT_EQ(lastCommandError.asc, want.asc);
            EXPECT_EQ(lastCommandError.ascq, want.ascq);
            EXPECT_EQ(lastCommandError.status, want.byte19);
            if (!want.result) {
                EXPECT_EQ(lastCommandError.cdb[5], 0x5A);
            }
            for (int i = 15; i < 19; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
            // The next good command leaves nothing of this one in the record.
            uint8_t tur[12] = {};
            EXPECT_EQ(ExecCommandEx(1, XFER_NONE, tur, nullptr, 0), 1);
            for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
        }
    }
}

TEST_P(BothBackEnds, OpenFailurePausesOnceShowsTheErrorAndRefusesCommands) {
    Rig rig(GetParam());
    CloseDrive();
    rig.port.nodes[0].openFailures = -1;
    rig.port.nodes[0].openErr = EBUSY;
    const uint64_t before = rig.env.clock.ElapsedMs();
    EXPECT_EQ(OpenDrive(driveTable[0]), 0);
    EXPECT_GE(rig.env.clock.ElapsedMs() - before, 1500u);  // one pause (clock reads cost 1 ms)
    EXPECT_LT(rig.env.clock.ElapsedMs() - before, 1600u);
    EXPECT_EQ(rig.env.ui.MessageTexts(),
              std::vector<std::string>{"CreateFile Err " + std::to_string(EBUSY)});
    EXPECT_EQ(TransportMaxTransfer(), 0u);
    EXPECT_EQ(transport().openDevice, -1);
    rig.port.sent.clear();
    EXPECT_EQ(TestUnitReady(), 0);
    EXPECT_TRUE(rig.port.sent.empty());
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
}

TEST_P(BothBackEnds, ADownloadHoldsItsDriveAndSendsNothingToOneHeldElsewhere) {
    const bool sg = GetParam();
    const std::string node = sg ? "/dev/sg0" : "/dev/sr0";
    struct Case {
        const char* name;
        std::string held;  // the node another program holds; empty: none
        bool sgOnly;
        std::string says;  // how the box tells the hold
    };
    const Case cases[] = {
        {"nobody else holds it", "", false, ""},
        {"another program holds the drive's own node", node, false,
         sg ? "Another program has /dev/sg0 open" : "/dev/sr0 is mounted, or another program"},
        {"a mount holds the block device beside the generic node", "/dev/sr0", true,
         "/dev/sr0 is mounted, or another program"},
    };
    for (const Case& c : cases) {
        if (c.sgOnly && !sg) continue;
        SCOPED_TRACE(c.name);
        Rig rig(sg);
        // The scan opened the node without holding it; the download held it.
        EXPECT_EQ(rig.port.opened, (std::vector<std::string>{node, node}));
        EXPECT_EQ(rig.port.held, std::vector<std::string>{node});
        CloseDrive();
        rig.port.held.clear();
        rig.env.ui.messages.clear();
        if (!c.held.empty()) rig.port.heldElsewhere[node] = c.held;
        const uint64_t before = rig.env.clock.ElapsedMs();
        EXPECT_EQ(OpenDrive(driveTable[0]), c.held.empty() ? 1 : 0);
        std::string why;
        EXPECT_EQ(TransportMaySendAnyCommand(why), c.held.empty());
        if (c.held.empty()) {
            EXPECT_TRUE(rig.env.ui.messages.empty());
            EXPECT_EQ(rig.port.held, std::vector<std::string>{node});
            continue;
        }
        // Tried twice, 1500 ms apart, then said before anything is sent, naming the held node.
        EXPECT_EQ(rig.port.held, (std::vector<std::string>{node, node}));
        EXPECT_GE(rig.env.clock.ElapsedMs() - before, 1500u);
        EXPECT_EQ(rig.env.ui.MessageTexts(),
                  std::vector<std::string>{"CreateFile Err " + std::to_string(EBUSY)});
        EXPECT_EQ(why.rfind("The drive is in use: " + c.says, 0), 0u) << why;
        EXPECT_NE(why.find("`fuser -v " + c.held + "`"), std::string::npos) << why;
        rig.port.sent.clear();
        EXPECT_EQ(TestUnitReady(), 0);
        EXPECT_TRUE(rig.port.sent.empty());
        // Free again, the next open holds it and may send.
        rig.port.heldElsewhere.clear();
        EXPECT_EQ(OpenDrive(driveTable[0]), 1);
        EXPECT_TRUE(TransportMaySendAnyCommand(why));
    }
}

TEST_P(BothBackEnds, PriorityIsLoweredForTheCommandAndNormalAfterwards) {
    using Calls = std::vector<std::string>;
    const uint8_t nowait[12] = {0xF5};
    struct Case {
        const char* name;
        int holders;  // LoweredPriority objects around the commands
        Calls during, after;
    };
    const Case cases[] = {
        {"each command on its own", 0, {"lowest", "normal", "lowest", "normal"}, {}},
        {"a held stretch", 1, {"lowest"}, {"normal"}},
        {"nested holders count once", 2, {"lowest"}, {"normal"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(GetParam());
        {
            std::vector<std::unique_ptr<LoweredPriority>> held;
            for (int i = 0; i < c.holders; ++i) held.push_back(std::make_unique<LoweredPriority>());
            EXPECT_EQ(TestUnitReady(), 1);
            EXPECT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, nowait, nullptr, 0), 1);
            EXPECT_EQ(PollUntilDone(), 1);
            EXPECT_EQ(rig.priority.calls, c.during);
            rig.priority.calls.clear();
        }
        EXPECT_EQ(rig.priority.calls, c.after);
        // The sr worker thread started at the lowered priority: it sets itself to normal.
        EXPECT_EQ(rig.priority.otherThreads, GetParam() ? 0 : 1);
    }
}

// A no-wait command's end is traced once, when PollCommand first reports it, as the judgement
// of the back end saw it.
TEST_P(BothBackEnds, TheEndOfANoWaitCommandIsTracedOnceWhenCollected) {
    const bool sg = GetParam();
    FakeAnswer callFails;
    callFails.callResult = -1;
    struct Case {
        const char* name;
        FakeAnswer answer;
        const char *sr, *sg;
    } cases[] = {
        {"completed", {}, "\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"", nullptr},
        {"failed", CheckCondition(0x03, 0x0C, 0x00),
         "\"state\":2,\"status\":2,\"host\":0,\"sense\":\"03/0C/00\"", nullptr},
        {"kernel call fails", callFails,
         "\"state\":2,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"",
         "\"state\":2,\"status\":0,\"host\":7,\"sense\":\"00/00/00\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(sg);
        TraceCapture capture;
        rig.port.queue.push_back(c.answer);
        uint8_t store[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, store, nullptr, 0), 1);
        EXPECT_TRUE(capture.Events("cmd-end").empty());
        EXPECT_NE(PollUntilDone(), 0);
        EXPECT_NE(PollCommand(), 0);
        auto ends = capture.Events("cmd-end");
        ASSERT_EQ(ends.size(), 1u);
        const char* end = sg && c.sg ? c.sg : c.sr;  // the same on both unless given
        EXPECT_NE(ends[0].find("\"ev\":\"cmd-end\",\"cdb\":\"f50000000000000000000000\"," +
                               std::string(end) + "}"),
                  std::string::npos)
            << ends[0];
        // Neither the next command nor closing the drive adds to it.
        EXPECT_EQ(TestUnitReady(), 1);
        PollCommand();
        CloseDrive();
        EXPECT_EQ(capture.Events("cmd-end").size(), 1u);
        EXPECT_TRUE(capture.Events("cmd-abandoned").empty());
    }
}

// A no-wait command the drive never finishes: giving up on it (CloseDrive) costs nothing, the
// drive opens and answers again at once, and the program's teardown does not wait for it
// either. Its late answer has nowhere to land, and the trace notes it was given up.
TEST_P(BothBackEnds, AGivenUpNoWaitCommandHoldsNothingUp) {
    const bool sg = GetParam();
    const auto start = std::chrono::steady_clock::now();
    auto rig = std::make_unique<Rig>(sg);
    TraceCapture capture;
    FakeAnswer never = CheckCondition(0x03, 0x0C, 0x00);
    never.data.assign(16, 0xEE);
    never.hang = true;  // sg: no reply comes
    rig->port.responder = [never](const FakeSent& s) {
        return s.cdb[0] == 0x3C ? never : FakeAnswer{};
    };
    if (!sg) rig->port.Hold();  // sr: the kernel call does not return
    uint8_t buffer[16];
    std::memset(buffer, 0x11, sizeof buffer);
    uint8_t read[12] = {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 16};
    ASSERT_EQ(ExecCommandEx(0, XFER_IN, read, buffer, sizeof buffer), 1);
    while (!sg && rig->port.InCall() == 0) std::this_thread::yield();
    EXPECT_EQ(PollCommand(), 0);

    CloseDrive();
    EXPECT_EQ(PollCommand(), 2);
    ASSERT_EQ(OpenDrive(driveTable[0]), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    for (int i = 12; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 16), std::vector<uint8_t>(16, 0x11));
    EXPECT_TRUE(capture.Events("cmd-end").empty());
    auto notes = capture.Events("cmd-abandoned");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("\"cdb\":\"3c020000000000001000\"}"), std::string::npos) << notes[0];

    rig.reset();  // back ends, port and runtime go while the command is still held
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Once the kernel has said the drive is gone (ENODEV, ENXIO, DID_NO_CONNECT), nothing more goes
// out on that handle: later commands, waiting or not, are refused unsent, and traced so. The
// cause is noted once. Other failures leave the handle as it was; a new open starts afresh.
TEST_P(BothBackEnds, NothingMoreGoesToAVanishedDrive) {
    const bool sg = GetParam();
    auto callFails = [](int err) {
        FakeAnswer a;
        a.callResult = -1;  // sr: the SG_IO call; sg: reading the reply
        a.err = err;
        return a;
    };
    FakeAnswer noConnect, submitRefused;
    noConnect.host = 0x01;
    submitRefused.refuse = true;  // sg only: the write is refused
    submitRefused.err = ENODEV;
    const struct {
        const char* name;
        FakeAnswer answer;
        bool gone;
        bool sgOnly;
    } cases[] = {
        {"ENODEV", callFails(ENODEV), true, false},
        {"ENXIO", callFails(ENXIO), true, false},
        {"DID_NO_CONNECT", noConnect, true, false},
        {"submission refused with ENODEV", submitRefused, true, true},
        {"EIO", callFails(EIO), false, false},
        {"DID_ERROR",
         [] {
             FakeAnswer a;
             a.host = 0x07;
             return a;
         }(),
         false, false},
    };
    for (const auto& c : cases) {
        if (c.sgOnly && !sg) continue;
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? " waiting" : " no-wait"));
            Rig rig(sg);
            TraceCapture capture;
            rig.port.queue.push_back(c.answer);
            uint8_t write[12] = {0x3B, 0x05, 0, 0, 0, 0, 0, 0, 4};
            uint8_t data[4] = {1, 2, 3, 4};
            const int started = ExecCommandEx(wait, XFER_OUT, write, data, sizeof data);
            if (!wait && started) {
                EXPECT_EQ(PollUntilDone(), 2);
            }
            const size_t sent = rig.port.Sent().size();
            ASSERT_EQ(sent, 1u);

            uint8_t store[12] = {0xF5};
            EXPECT_EQ(TestUnitReady(), c.gone ? 0 : 1);
            EXPECT_EQ(ExecCommandEx(0, XFER_NONE, store, nullptr, 0), c.gone ? 0 : 1);
            if (!c.gone) {
                EXPECT_EQ(PollUntilDone(), 1);
            }
            EXPECT_EQ(rig.port.Sent().size(), c.gone ? sent : sent + 2);
            std::vector<std::string> cmds = capture.Events("cmd");
            ASSERT_EQ(cmds.size(), 3u);
            for (size_t i = 1; i < cmds.size(); ++i)
                EXPECT_EQ(cmds[i].find("\"sent\":false") != std::string::npos, c.gone) << cmds[i];
            const auto notes = rig.env.ui.notes;
            EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                                    [](const std::string& n) {
                                        return n.find("the drive is gone") != std::string::npos;
                                    }),
                      c.gone ? 1 : 0)
                << ::testing::PrintToString(notes);

            // A new open is a new handle.
            ASSERT_EQ(OpenDrive(driveTable[0]), 1);
            EXPECT_EQ(TestUnitReady(), 1);
            EXPECT_EQ(rig.port.Sent().size(), (c.gone ? sent : sent + 2) + 1);
        }
    }
}

// The worker of a no-wait command may not have reached the port yet when the command is given up
// and everything is torn down: it must then leave the port alone, not call into one that is gone.
TEST(PassThroughWorker, NeverReachesAPortThatIsGone) {
    for (int round = 0; round < 300; ++round) {
        auto rig = std::make_unique<Rig>(false);
        uint8_t store[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, store, nullptr, 0), 1);
        rig.reset();
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (PassThroughBackend::LiveWorkers() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_EQ(PassThroughBackend::LiveWorkers(), 0);
}

TEST(TransportInterface, DirectionForOpcodeEncodesPerBackEnd) {
    TestEnv env;
    struct {
        uint8_t op;
        uint8_t sr, sg;
    } cases[] = {{0x12, SCSI_IOCTL_DATA_IN, SRB_DIR_IN},
                 {0x3B, SCSI_IOCTL_DATA_OUT, SRB_DIR_OUT},
                 {0xF5, SCSI_IOCTL_DATA_UNSPECIFIED, SRB_DIR_NONE},
                 {0xF1, 2, 2}};
    for (auto& c : cases) {
        transport().useAspi = false;
        EXPECT_EQ(DirectionForOpcode(c.op), c.sr) << int(c.op);
        transport().useAspi = true;
        EXPECT_EQ(DirectionForOpcode(c.op), c.sg) << int(c.op);
    }
    EXPECT_EQ(env.ui.messages.size(), 2u);  // 0xF1 once per lookup
}

}  // namespace
