// The command interface over a back end that only says what became of each request: the
// direction and CDB length of every opcode, the 0xCF refusal, the error record by each back end's
// rules, the open and its retry, the no-wait protocol, the trace, the notes and the
// vanished-drive watch, and the priority around a command.
#include "scsi/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>

#include "support/fake_backend.h"
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

const uint8_t kStore[12] = {0xF5};

// One drive opened through the fake back end, by the rules of sr or sg.
struct Rig {
    TestEnv env;
    RecordingPriority priority;
    FakeBackend backend;
    DriveRecord drive;

    explicit Rig(bool sg) {
        rt().priority = &priority;
        rt().transport = sg ? TransportChoice::Sg : TransportChoice::Sr;
        drive.node = sg ? "/dev/sg0" : "/dev/sr0";
        SetBackends(&backend, &backend);
        EXPECT_EQ(InitTransport(), 1);
        EXPECT_EQ(OpenDrive(drive), 1);
        priority.calls.clear();
    }
    ~Rig() { CloseDrive(); }

    std::vector<uint8_t> Tail() const {
        return {lastCommandError.bytes() + 12, lastCommandError.bytes() + 20};
    }
    size_t NotesWith(const std::string& part) const {
        return std::count_if(env.ui.notes.begin(), env.ui.notes.end(), [&](const std::string& n) {
            return n.find(part) != std::string::npos;
        });
    }
};

class BothRules : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Transport, BothRules, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "sg" : "sr"; });

TEST_P(BothRules, EveryOpcodeGoesOutWithItsDirectionAndLength) {
    Rig rig(GetParam());
    uint8_t buffer[16] = {};
    for (int op = 0; op < 256; ++op) {
        if (op == 0xCF) continue;
        SCOPED_TRACE(op);
        rig.env.ui.messages.clear();
        rig.backend.commands.clear();
        uint8_t cdb[12] = {static_cast<uint8_t>(op), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), 1);  // unknown ones are sent too
        ASSERT_EQ(rig.backend.commands.size(), 1u);
        const FakeCommand& c = rig.backend.commands[0];
        const size_t length = op < 0x20 ? 6 : op < 0x80 ? 10 : 12;
        EXPECT_EQ(c.cdb, std::vector<uint8_t>(cdb, cdb + length));
        const bool known = kIn.count(op) || kOut.count(op) || kNone.count(op);
        EXPECT_EQ(c.direction, kIn.count(op)    ? XFER_IN
                               : kOut.count(op) ? XFER_OUT
                               : known          ? XFER_NONE
                                                : 0);
        EXPECT_EQ(c.length, sizeof buffer);
        EXPECT_EQ(c.data, buffer);  // the caller's buffer, not a copy
        EXPECT_EQ(c.timeoutMs, 300000u);
        EXPECT_EQ(rig.env.ui.MessageTexts(), known ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"Unknown Command!"});
        if (!known) {
            EXPECT_EQ(rig.env.ui.messages[0].caption, rt().appTitle);
        }
        // Bytes 0-11 of the record: the CDB as sent, then what the request block holds past it
        // (zero here: every command before was at least as long, or the area was cleared).
        std::vector<uint8_t> area(12, 0);
        std::copy(cdb, cdb + length, area.begin());
        EXPECT_EQ(std::vector<uint8_t>(lastCommandError.cdb, lastCommandError.cdb + 12), area);
    }
}

// The sg command block keeps an earlier command's bytes past a shorter one's; sr starts afresh.
TEST_P(BothRules, ShorterCommandsLeaveTheBlocksBytesOnSgOnly) {
    Rig rig(GetParam());
    const uint8_t vendor[12] = {0xCE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    uint8_t data[4];
    EXPECT_EQ(ExecCommand(vendor, data, sizeof data), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    const std::vector<uint8_t> past(lastCommandError.cdb + 6, lastCommandError.cdb + 12);
    const std::vector<uint8_t> kept = {6, 7, 8, 9, 10, 11};
    EXPECT_EQ(past, GetParam() ? kept : std::vector<uint8_t>(6));
    ASSERT_EQ(OpenDrive(rig.drive), 1);  // a new open clears the block
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_EQ(std::vector<uint8_t>(lastCommandError.cdb, lastCommandError.cdb + 12),
              std::vector<uint8_t>(12));
}

TEST_P(BothRules, ExplicitDirectionsAndLengthZero) {
    struct Case {
        const char* name;
        uint8_t opcode, direction;
        uint32_t length;
        uint8_t resolved;
        const char* traced;  // "dir" and "len" of the trace line
    };
    const Case cases[] = {
        {"0xCF in", 0xCF, XFER_IN, 8, XFER_IN, "\"dir\":\"in\",\"len\":8"},
        {"0xCF out", 0xCF, XFER_OUT, 8, XFER_OUT, "\"dir\":\"out\",\"len\":8"},
        {"none with data length", 0x3C, XFER_NONE, 8, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"out with length 0", 0x3B, XFER_OUT, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"in with length 0", 0x12, XFER_IN, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"by opcode, length 0", 0x3C, XFER_BY_OPCODE, 0, XFER_IN, "\"dir\":\"in\",\"len\":0"},
        {"by opcode, unknown", 0xF1, XFER_BY_OPCODE, 0, 0, "\"dir\":\"unspecified\",\"len\":0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(GetParam());
        TraceCapture capture;
        uint8_t buffer[8] = {};
        uint8_t cdb[12] = {c.opcode};
        EXPECT_EQ(ExecCommandEx(1, c.direction, cdb, buffer, c.length), 1);
        ASSERT_EQ(rig.backend.commands.size(), 1u);
        EXPECT_EQ(rig.backend.commands[0].direction, c.resolved);
        EXPECT_EQ(static_cast<int>(rig.backend.commands[0].cdb.size()),
                  CdbLengthForOpcode(c.opcode));
        const auto cmds = capture.Events("cmd");
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_NE(cmds[0].find(c.traced), std::string::npos) << cmds[0];
    }
}

// 64 KiB into the caller's buffer, or no data at all, in the opcode's own direction.
TEST_P(BothRules, ExecCommand64KTakesTheBufferOrNothing) {
    Rig rig(GetParam());
    std::vector<uint8_t> big(kLength64K);
    const uint8_t cdb[12] = {0x3C, 0x02};
    EXPECT_EQ(ExecCommand64K(cdb, big.data()), 1);
    EXPECT_EQ(ExecCommand64K(cdb, nullptr), 1);
    ASSERT_EQ(rig.backend.commands.size(), 2u);
    EXPECT_EQ(rig.backend.commands[0].data, big.data());
    EXPECT_EQ(rig.backend.commands[0].length, kLength64K);
    EXPECT_EQ(rig.backend.commands[1].length, 0u);
    EXPECT_EQ(rig.backend.commands[1].direction, XFER_IN);
}

TEST_P(BothRules, ZeroCfIsRefusedByExecCommandOnly) {
    Rig rig(GetParam());
    TraceCapture capture;
    lastCommandError.senseKey = 0x55;
    uint8_t cdb[12] = {0xCF, 1, 2, 3};
    uint8_t buffer[4] = {};
    EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), 0);
    EXPECT_TRUE(rig.backend.commands.empty());
    EXPECT_TRUE(rig.priority.calls.empty());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
    EXPECT_TRUE(rig.env.ui.messages.empty());
    const auto cmds = capture.Events("cmd");
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_NE(cmds[0].find("\"cdb\":\"cf0102030000000000000000\",\"dir\":\"unspecified\","
                           "\"len\":4,\"wait\":true,\"sent\":false,\"result\":0"),
              std::string::npos)
        << cmds[0];
    // ExecCommandEx sends it: see ExplicitDirectionsAndLengthZero.
}

// What the transport makes of an outcome: the result and the record's bytes 12-14 and 19.
struct Judged {
    int result;
    uint8_t key, asc, ascq, byte19;
};

CommandOutcome With(CommandOutcome o, void (*change)(CommandOutcome&)) {
    change(o);
    return o;
}

// Byte 19 is the SCSI status on sr and the host status on sg; only sr lets sense key 0 with an
// ASC and ASCQ pass; sg fills the tail with 0xFF after giving up on a command.
TEST_P(BothRules, ResultAndErrorRecordForEachOutcome) {
    const bool sg = GetParam();
    const struct {
        const char* name;
        CommandOutcome outcome;
        Judged sr, sg;
    } cases[] = {
        {"good", Good(), {1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {"no medium", CheckCondition(0x02, 0x3A, 0), {0, 2, 0x3A, 0, 2}, {0, 2, 0x3A, 0, 0}},
        {"key 0, ASC, ASCQ", CheckCondition(0, 0x5D, 1), {1, 0, 0, 0, 0}, {0, 0, 0x5D, 1, 0}},
        {"key 0, ASCQ 0", CheckCondition(0, 0x5D, 0), {0, 0, 0x5D, 0, 2}, {0, 0, 0x5D, 0, 0}},
        {"key byte whole", CheckCondition(0x22, 4, 1), {0, 0x22, 4, 1, 2}, {0, 0x22, 4, 1, 0}},
        {"busy",
         With(Good(), [](CommandOutcome& o) { o.status = 0x08; }),
         {0, 0, 0, 0, 8},
         {0, 0, 0, 0, 0}},
        {"host status",
         With(CheckCondition(4, 0x44, 0), [](CommandOutcome& o) { o.host = 4; }),
         {0, 4, 0x44, 0, 2},
         {0, 4, 0x44, 0, 4}},
        {"driver status",
         With(Good(), [](CommandOutcome& o) { o.driver = 0x06; }),
         {0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0}},
        {"kernel call fails",
         With(Good(), [](CommandOutcome& o) { o.err = EIO; }),
         {0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0}},
        {"reply unreadable",
         With(Good(),
              [](CommandOutcome& o) {
                  o.err = EIO;
                  o.host = 7;
              }),
         {0, 0, 0, 0, 0},
         {0, 0, 0, 0, 7}},
        {"given up",
         With(Good(), [](CommandOutcome& o) { o.gaveUpAfterMs = 180000; }),
         {0, 0xFF, 0xFF, 0xFF, 0xFF},
         {0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"not sent", CommandOutcome{}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const Judged& want = sg ? c.sg : c.sr;
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? " waiting" : " no-wait"));
            Rig rig(sg);
            rig.backend.replies = {{c.outcome, {}}};
            uint8_t cdb[12] = {0x00, 0, 0, 0, 0, 0x5A};
            int r = ExecCommandEx(wait, XFER_BY_OPCODE, cdb, nullptr, 0);
            if (!wait) {  // the same judgement shows as state 1 or 2
                EXPECT_EQ(r, 1);
                if (sg) lastCommandError = CommandErrorRecord{};  // sg's Poll refills it
                const int state = PollCommand();
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
            if (!want.key) {
                for (int i = 15; i < 19; ++i) EXPECT_EQ(lastCommandError.bytes()[i], 0) << i;
            }
            // The next good command leaves nothing of this one in the record.
            EXPECT_EQ(TestUnitReady(), 1);
            EXPECT_EQ(rig.Tail(), std::vector<uint8_t>(8));
        }
    }
}

// The kernel's residual reaches the caller with the command it belongs to.
TEST(TransportResidual, IsTheLastCommands) {
    Rig rig(false);
    CommandOutcome shortRead = Good();
    shortRead.residual = 2;
    rig.backend.replies = {{shortRead, {}}, {Good(), {}}};
    uint8_t cdb[12] = {0x3C, 0x02}, data[4];
    EXPECT_EQ(ExecCommand(cdb, data, sizeof data), 1);
    EXPECT_EQ(LastCommandResidual(), 2u);
    EXPECT_EQ(ExecCommand(cdb, data, sizeof data), 1);
    EXPECT_EQ(LastCommandResidual(), 0u);
}

// Two attempts 1500 ms apart; when both fail, "CreateFile Err N" and nothing is ever sent.
TEST_P(BothRules, OpenRetriesOnceThenSaysWhy) {
    struct Case {
        std::deque<int> failures;
        bool opens;
        uint64_t pause;
    } cases[] = {{{}, true, 0}, {{EACCES}, true, 1500}, {{EACCES, EIO}, false, 1500}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures.size());
        Rig rig(GetParam());
        CloseDrive();
        rig.backend.openErrors = c.failures;
        const int opens = rig.backend.opens;
        const uint64_t before = rig.env.clock.ElapsedMs();
        EXPECT_EQ(OpenDrive(rig.drive), c.opens ? 1 : 0);
        EXPECT_EQ(rig.backend.opens - opens, c.failures.empty() ? 1 : 2);
        EXPECT_GE(rig.env.clock.ElapsedMs() - before, c.pause);
        EXPECT_LT(rig.env.clock.ElapsedMs() - before, c.pause + 100);
        EXPECT_EQ(rig.env.ui.MessageTexts(),
                  c.opens ? std::vector<std::string>{}
                          : std::vector<std::string>{"CreateFile Err " + std::to_string(EIO)});
        EXPECT_EQ(transport().openDevice >= 0, c.opens);
        EXPECT_EQ(rig.NotesWith("cannot open " + rig.drive.node + ": EIO"), c.opens ? 0u : 1u);
        rig.backend.commands.clear();
        EXPECT_EQ(TestUnitReady(), c.opens ? 1 : 0);
        EXPECT_EQ(rig.backend.commands.size(), c.opens ? 1u : 0u);
        EXPECT_EQ(rig.Tail(), std::vector<uint8_t>(8));
    }
}

TEST_P(BothRules, ADriveHeldElsewhereIsSaidBeforeAnythingIsSent) {
    const bool sg = GetParam();
    struct Case {
        const char* name;
        std::string held;  // the node another program holds
        bool sgOnly;
        std::string says;  // how the box tells the hold
    };
    const Case cases[] = {
        {"another program holds the drive's own node", sg ? "/dev/sg0" : "/dev/sr0", false,
         sg ? "Another program has /dev/sg0 open" : "/dev/sr0 is mounted, or another program"},
        {"a mount holds the block device beside the generic node", "/dev/sr0", true,
         "/dev/sr0 is mounted, or another program"},
    };
    for (const Case& c : cases) {
        if (c.sgOnly && !sg) continue;
        SCOPED_TRACE(c.name);
        Rig rig(sg);
        std::string why;
        EXPECT_TRUE(TransportMaySendAnyCommand(why));
        rig.backend.openErrors = {EBUSY, EBUSY};
        rig.backend.heldBy = c.held;
        EXPECT_EQ(OpenDrive(rig.drive), 0);
        EXPECT_EQ(rig.env.ui.MessageTexts(),
                  std::vector<std::string>{"CreateFile Err " + std::to_string(EBUSY)});
        EXPECT_FALSE(TransportMaySendAnyCommand(why));
        EXPECT_EQ(why.rfind("The drive is in use: " + c.says, 0), 0u) << why;
        EXPECT_NE(why.find("`fuser -v " + c.held + "`"), std::string::npos) << why;
        EXPECT_EQ(rig.NotesWith("cannot open " + c.held + ": EBUSY"), 1u);
        // Free again, the next open may send.
        EXPECT_EQ(OpenDrive(rig.drive), 1);
        EXPECT_TRUE(TransportMaySendAnyCommand(why));
    }
}

TEST_P(BothRules, PriorityIsLoweredForTheCommandAndNormalAfterwards) {
    using Calls = std::vector<std::string>;
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
            EXPECT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, kStore, nullptr, 0), 1);
            EXPECT_EQ(PollCommand(), 1);
            EXPECT_EQ(rig.priority.calls, c.during);
            rig.priority.calls.clear();
        }
        EXPECT_EQ(rig.priority.calls, c.after);
    }
}

// A no-wait command's end is traced once and noted, however it is collected: by PollCommand, by
// the next command (which waits for it, or on sg gives it up), or by closing the drive.
TEST_P(BothRules, TheEndOfANoWaitCommandIsTracedOnceHoweverItIsCollected) {
    const bool sg = GetParam();
    enum By { kPoll, kNextCommand, kClose };
    CommandOutcome gone = Good();
    gone.host = 0x01;  // DID_NO_CONNECT
    const struct {
        const char* name;
        By by;
        bool finishWaits;  // how the back end lets the next command go
        CommandOutcome outcome;
        const char* end;  // the cmd-end line's fields after the CDB; null: given up
        int state;
    } cases[] = {
        {"completed, polled", kPoll, true, Good(),
         "\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"", 1},
        {"failed, polled", kPoll, true, CheckCondition(0x03, 0x0C, 0x00),
         "\"state\":2,\"status\":2,\"host\":0,\"sense\":\"03/0C/00\"", 2},
        {"ended, the next command waits", kNextCommand, true, Good(),
         "\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"", 1},
        {"the drive went, the next command waits", kNextCommand, true, gone,
         "\"state\":2,\"status\":0,\"host\":1,\"sense\":\"00/00/00\"", 2},
        {"running, the next command gives it up", kNextCommand, false, Good(), nullptr, 2},
        {"ended, the drive is closed", kClose, true, Good(),
         "\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(sg);
        TraceCapture capture;
        rig.backend.finishWaits = c.finishWaits;
        rig.backend.pendingPolls = c.finishWaits ? 0 : 1000;
        rig.backend.replies = {{c.outcome, {}}};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), 1);
        EXPECT_TRUE(capture.Events("cmd-end").empty());
        if (c.by == kPoll) {
            EXPECT_EQ(PollCommand(), c.state);
        } else if (c.by == kNextCommand) {
            EXPECT_EQ(TestUnitReady(), c.outcome.host ? 0 : 1);
        } else {
            CloseDrive();
        }
        if (!sg) {
            EXPECT_EQ(PollCommand(), c.state);
        }
        const auto ends = capture.Events("cmd-end");
        const auto abandoned = capture.Events("cmd-abandoned");
        ASSERT_EQ(ends.size(), c.end ? 1u : 0u);
        ASSERT_EQ(abandoned.size(), c.end ? 0u : 1u);
        const std::string line = c.end ? ends[0] : abandoned[0];
        EXPECT_NE(line.find("\"cdb\":\"f50000000000000000000000\"" +
                            (c.end ? "," + std::string(c.end) : std::string()) + "}"),
                  std::string::npos)
            << line;
        EXPECT_EQ(rig.NotesWith("the drive is gone"), c.outcome.host ? 1u : 0u);
        EXPECT_EQ(rig.NotesWith("had not finished command F5"), c.end ? 0u : 1u);
        // Nothing later adds to it.
        TestUnitReady();
        PollCommand();
        CloseDrive();
        EXPECT_EQ(capture.Events("cmd-end").size() + capture.Events("cmd-abandoned").size(), 1u);
    }
}

// Closing a drive with a no-wait command still running gives it up at once: Poll reports it
// failed, the record keeps nothing of it, and the drive opens and answers again.
TEST_P(BothRules, AGivenUpNoWaitCommandHoldsNothingUp) {
    Rig rig(GetParam());
    TraceCapture capture;
    rig.backend.pendingPolls = 1000;
    uint8_t read[12] = {0x3C, 0x02, 0, 0, 0, 0, 0, 0, 16};
    uint8_t buffer[16];
    ASSERT_EQ(ExecCommandEx(0, XFER_IN, read, buffer, sizeof buffer), 1);
    EXPECT_EQ(PollCommand(), 0);
    CloseDrive();
    EXPECT_EQ(PollCommand(), 2);
    ASSERT_EQ(OpenDrive(rig.drive), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_EQ(rig.Tail(), std::vector<uint8_t>(8));
    EXPECT_TRUE(capture.Events("cmd-end").empty());
    auto notes = capture.Events("cmd-abandoned");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("\"cdb\":\"3c020000000000001000\"}"), std::string::npos) << notes[0];
}

// Once the drive is gone (ENODEV, ENXIO, DID_NO_CONNECT), nothing more goes out until the next
// OpenDrive: later commands, waiting or not, are refused unsent, and traced so. The cause is
// noted once. Other failures leave things as they were.
TEST_P(BothRules, NothingMoreGoesToAVanishedDrive) {
    const auto failing = [](int err, uint8_t host) {
        CommandOutcome o = Good();
        o.err = err;
        o.host = host;
        return o;
    };
    const struct {
        const char* name;
        CommandOutcome outcome;
        bool gone;
    } cases[] = {
        {"ENODEV", failing(ENODEV, 0), true},       {"ENXIO", failing(ENXIO, 0), true},
        {"DID_NO_CONNECT", failing(0, 0x01), true}, {"EIO", failing(EIO, 0), false},
        {"DID_ERROR", failing(0, 0x07), false},
    };
    for (const auto& c : cases) {
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? " waiting" : " no-wait"));
            Rig rig(GetParam());
            TraceCapture capture;
            rig.backend.replies = {{c.outcome, {}}};
            uint8_t write[12] = {0x3B, 0x05, 0, 0, 0, 0, 0, 0, 4};
            uint8_t data[4] = {1, 2, 3, 4};
            ASSERT_EQ(ExecCommandEx(wait, XFER_OUT, write, data, sizeof data), wait ? 0 : 1);
            if (!wait) {
                EXPECT_EQ(PollCommand(), 2);
            }
            EXPECT_EQ(TestUnitReady(), c.gone ? 0 : 1);
            EXPECT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), c.gone ? 0 : 1);
            EXPECT_EQ(rig.backend.commands.size(), c.gone ? 1u : 3u);
            const auto cmds = capture.Events("cmd");
            ASSERT_EQ(cmds.size(), 3u);
            for (size_t i = 1; i < cmds.size(); ++i)
                EXPECT_EQ(cmds[i].find("\"sent\":false") != std::string::npos, c.gone) << cmds[i];
            EXPECT_EQ(rig.NotesWith("the drive is gone"), c.gone ? 1u : 0u);
            // A new open starts afresh.
            ASSERT_EQ(OpenDrive(rig.drive), 1);
            EXPECT_EQ(TestUnitReady(), 1);
        }
    }
}

// A no-wait command that could not start is a failure like any other: nothing runs after it.
TEST(TransportNoWait, ACommandThatCannotStartFails) {
    Rig rig(false);
    rig.backend.startFails = true;
    EXPECT_EQ(ExecCommandEx(0, XFER_BY_OPCODE, kStore, nullptr, 0), 0);
    EXPECT_EQ(lastCommandError.cdb[0], 0xF5);
    EXPECT_EQ(rig.Tail(), std::vector<uint8_t>(8));
    EXPECT_EQ(TestUnitReady(), 1);  // nothing to wait for
}

}  // namespace
