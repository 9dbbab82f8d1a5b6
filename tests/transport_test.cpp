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

using Bytes = std::vector<uint8_t>;
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

    static Bytes Record(int from, int to) {
        return {lastCommandError.bytes() + from, lastCommandError.bytes() + to};
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

// Bytes 0-11 of the record are the request block's CDB area: the sg block keeps an earlier
// command's bytes past a shorter one's until the next open; sr starts afresh.
TEST_P(BothRules, EveryOpcodeGoesOutWithItsDirectionAndLength) {
    // The opcode table, written out independently of the code under test.
    const std::set<int> none = {0x00, 0x01, 0x0B, 0x16, 0x17, 0x1B, 0x1E, 0x2B,
                                0x2F, 0x34, 0x35, 0x45, 0x47, 0x48, 0x49, 0x4B,
                                0x53, 0x58, 0x5B, 0xA1, 0xA5, 0xA9, 0xBB, 0xF5};
    const std::set<int> in = {0x03, 0x08, 0x12, 0x1A, 0x1C, 0x25, 0x28, 0x3C,
                              0x42, 0x43, 0x44, 0x51, 0x52, 0x59, 0x5A, 0x5C,
                              0xA8, 0xAD, 0xBD, 0xBE, 0xCE, 0xD4, 0xD6};
    const std::set<int> out = {0x04, 0x15, 0x1D, 0x2A, 0x2E, 0x3B, 0x54,
                               0x55, 0x5D, 0xAA, 0xCC, 0xCD, 0xEA};
    Rig rig(GetParam());
    uint8_t buffer[16] = {};
    for (int op = 0; op < 256; ++op) {
        SCOPED_TRACE(op);
        rig.env.ui.messages.clear();
        rig.backend.commands.clear();
        uint8_t cdb[12] = {static_cast<uint8_t>(op), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        if (op == 0xCF) {  // ExecCommand refuses it (ExecCommandEx sends it, below)
            TraceCapture capture;
            rig.priority.calls.clear();
            lastCommandError.senseKey = 0x55;
            EXPECT_EQ(ExecCommand(cdb, buffer, 4), 0);
            EXPECT_TRUE(rig.backend.commands.empty());
            EXPECT_TRUE(rig.priority.calls.empty());
            EXPECT_EQ(Rig::Record(0, 20), Bytes(20));
            EXPECT_TRUE(rig.env.ui.messages.empty());
            const auto cmds = capture.Events("cmd");
            ASSERT_EQ(cmds.size(), 1u);
            EXPECT_NE(cmds[0].find("\"cdb\":\"cf0102030405060708090a0b\",\"dir\":\"unspecified\","
                                   "\"len\":4,\"wait\":true,\"sent\":false,\"result\":0"),
                      std::string::npos)
                << cmds[0];
            continue;
        }
        EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), 1);  // unknown ones are sent too
        ASSERT_EQ(rig.backend.commands.size(), 1u);
        const FakeCommand& c = rig.backend.commands[0];
        const size_t length = op < 0x20 ? 6 : op < 0x80 ? 10 : 12;
        EXPECT_EQ(c.cdb, Bytes(cdb, cdb + length));
        const bool known = in.count(op) || out.count(op) || none.count(op);
        EXPECT_EQ(c.direction, in.count(op)    ? XFER_IN
                               : out.count(op) ? XFER_OUT
                               : known         ? XFER_NONE
                                               : 0);
        EXPECT_EQ(c.length, sizeof buffer);
        EXPECT_EQ(c.data, buffer);  // the caller's buffer, not a copy
        EXPECT_EQ(c.timeoutMs, 300000u);
        EXPECT_EQ(rig.env.ui.MessageTexts(), known ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"Unknown Command!"});
        if (!known) {
            EXPECT_EQ(rig.env.ui.messages[0].caption, rt().appTitle);
        }
        // Ascending opcodes never shorten the CDB: nothing of an earlier one shows past it.
        Bytes area(12, 0);
        std::copy(cdb, cdb + length, area.begin());
        EXPECT_EQ(Rig::Record(0, 12), area);
    }
    EXPECT_EQ(TestUnitReady(), 1);  // after a 12-byte CDB
    EXPECT_EQ(Rig::Record(6, 12), (GetParam() ? Bytes{6, 7, 8, 9, 10, 11} : Bytes(6)));
    ASSERT_EQ(OpenDrive(rig.drive), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_EQ(Rig::Record(0, 12), Bytes(12));
}

TEST_P(BothRules, ExplicitDirectionsLengthZeroAnd64K) {
    const struct {
        const char* name;
        uint8_t opcode, direction;
        uint32_t length;
        uint8_t resolved;
        const char* traced;  // "dir" and "len" of the trace line
    } cases[] = {
        {"0xCF in", 0xCF, XFER_IN, 8, XFER_IN, "\"dir\":\"in\",\"len\":8"},
        {"0xCF out", 0xCF, XFER_OUT, 8, XFER_OUT, "\"dir\":\"out\",\"len\":8"},
        {"none with data length", 0x3C, XFER_NONE, 8, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"out with length 0", 0x3B, XFER_OUT, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"in with length 0", 0x12, XFER_IN, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {"by opcode, length 0", 0x3C, XFER_BY_OPCODE, 0, XFER_IN, "\"dir\":\"in\",\"len\":0"},
        {"by opcode, unknown", 0xF1, XFER_BY_OPCODE, 0, 0, "\"dir\":\"unspecified\",\"len\":0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(GetParam());
        TraceCapture capture;
        uint8_t buffer[8] = {};
        uint8_t cdb[12] = {c.opcode};
        EXPECT_EQ(ExecCommandEx(1, c.direction, cdb, buffer, c.length), 1);
        ASSERT_EQ(rig.backend.commands.size(), 1u);
        EXPECT_EQ(rig.backend.commands[0].direction, c.resolved);
        EXPECT_EQ(rig.backend.commands[0].cdb.size(), c.opcode == 0x12  ? 6u
                                                      : c.opcode < 0x80 ? 10u
                                                                        : 12u);
        const auto cmds = capture.Events("cmd");
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_NE(cmds[0].find(c.traced), std::string::npos) << cmds[0];
    }
    // 64 KiB into the caller's buffer, or no data at all, in the opcode's own direction.
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

// What the transport makes of an outcome, waiting or not: the result, the record's bytes 12-14
// and 19 (the SCSI status on sr, the host status on sg; only sr lets sense key 0 with an ASC and
// ASCQ pass; sg fills the tail with 0xFF after giving up) and the residual. A drive that is gone
// (ENODEV, ENXIO, DID_NO_CONNECT) gets nothing more, traced unsent, until the next open, and
// the cause is noted once; other failures leave things as they were.
TEST_P(BothRules, EachOutcomeIsJudgedByTheRulesInForce) {
    const bool sg = GetParam();
    struct Judged {
        int result;
        uint8_t key, asc, ascq, byte19;
    };
    const Judged ok = {1, 0, 0, 0, 0}, failed = {}, ff = {0, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto cc = &CheckCondition;
    const struct {
        const char* name;
        CommandOutcome outcome;
        Judged sr, sg;
        int gone;
    } cases[] = {
        {"good", Good(), ok, ok, 0},
        {"short read", {.sent = true, .residual = 2}, ok, ok, 0},
        {"no medium", cc(0x02, 0x3A, 0), {0, 2, 0x3A, 0, 2}, {0, 2, 0x3A, 0, 0}, 0},
        {"key 0, ASC, ASCQ", cc(0, 0x5D, 1), ok, {0, 0, 0x5D, 1, 0}, 0},
        {"key 0, ASCQ 0", cc(0, 0x5D, 0), {0, 0, 0x5D, 0, 2}, {0, 0, 0x5D, 0, 0}, 0},
        {"key byte whole", cc(0x22, 4, 1), {0, 0x22, 4, 1, 2}, {0, 0x22, 4, 1, 0}, 0},
        {"busy", {.sent = true, .status = 0x08}, {0, 0, 0, 0, 8}, failed, 0},
        {"host status",
         {.sent = true, .status = 2, .host = 4, .senseKey = 4, .asc = 0x44},
         {0, 4, 0x44, 0, 2},
         {0, 4, 0x44, 0, 4},
         0},
        {"driver status", {.sent = true, .driver = 0x06}, failed, failed, 0},
        {"kernel call fails", {.sent = true, .err = EIO}, failed, failed, 0},
        {"reply unreadable", {.sent = true, .err = EIO, .host = 7}, failed, {0, 0, 0, 0, 7}, 0},
        {"given up", {.sent = true, .gaveUpAfterMs = 180000}, ff, ff, 0},
        {"not sent", CommandOutcome{}, failed, failed, 0},
        {"ENODEV", {.sent = true, .err = ENODEV}, failed, failed, 1},
        {"ENXIO", {.sent = true, .err = ENXIO}, failed, failed, 1},
        {"DID_NO_CONNECT", {.sent = true, .host = 1}, failed, {0, 0, 0, 0, 1}, 1},
    };
    for (const auto& c : cases) {
        const Judged& want = sg ? c.sg : c.sr;
        for (int wait : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? " waiting" : " no-wait"));
            Rig rig(sg);
            TraceCapture capture;
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
            EXPECT_TRUE(want.result || lastCommandError.cdb[5] == 0x5A);
            EXPECT_EQ(Rig::Record(15, 19), Bytes(4, want.key == 0xFF ? 0xFF : 0));
            EXPECT_EQ(LastCommandResidual(), c.outcome.residual);
            // The next command leaves nothing of this one in the record, if it may go out.
            EXPECT_EQ(TestUnitReady(), c.gone ? 0 : 1);
            EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
            EXPECT_EQ(LastCommandResidual(), 0u);
            EXPECT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), c.gone ? 0 : 1);
            EXPECT_EQ(rig.backend.commands.size(), c.gone ? 1u : 3u);
            const auto cmds = capture.Events("cmd");
            ASSERT_EQ(cmds.size(), 3u);
            for (size_t i = 1; i < cmds.size(); ++i)
                EXPECT_EQ(cmds[i].find("\"sent\":false") != std::string::npos, c.gone) << cmds[i];
            EXPECT_EQ(rig.NotesWith("the drive is gone"), c.gone ? 1u : 0u);
            ASSERT_EQ(OpenDrive(rig.drive), 1);  // a new open starts afresh
            EXPECT_EQ(TestUnitReady(), 1);
        }
    }
}

// Two attempts 1500 ms apart; when both fail, "CreateFile Err N", the note, and nothing is ever
// sent. A drive another program holds is said before anything is sent, naming the node held.
TEST_P(BothRules, AnOpenIsTriedTwiceAndAHeldDriveIsSaid) {
    const bool sg = GetParam();
    const std::string own = sg ? "/dev/sg0" : "/dev/sr0";
    const char* const mounted = "/dev/sr0 is mounted, or another program";
    const struct {
        std::deque<int> failures;
        std::string held;  // the node another program holds
        const char* says;  // how the box tells the hold
    } cases[] = {
        {{}, "", nullptr},
        {{EACCES}, "", nullptr},
        {{EACCES, EIO}, "", nullptr},
        {{EBUSY, EBUSY}, own, sg ? "Another program has /dev/sg0 open" : mounted},
        {{EBUSY, EBUSY}, "/dev/sr0", mounted},  // on sg: a mount holds the block device beside
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.failures) + c.held);
        Rig rig(sg);
        CloseDrive();
        rig.backend.openErrors = c.failures;
        rig.backend.heldBy = c.held;
        const bool opens = c.failures.size() < 2;
        const uint64_t before = rig.env.clock.ElapsedMs();
        EXPECT_EQ(OpenDrive(rig.drive), opens ? 1 : 0);
        EXPECT_EQ(rig.backend.opens, 1 + (c.failures.empty() ? 1 : 2));
        const uint64_t pause = c.failures.empty() ? 0 : 1500;
        EXPECT_GE(rig.env.clock.ElapsedMs() - before, pause);
        EXPECT_LT(rig.env.clock.ElapsedMs() - before, pause + 100);
        const std::string err = opens ? "" : std::to_string(c.failures.back());
        EXPECT_EQ(
            rig.env.ui.MessageTexts(),
            opens ? std::vector<std::string>{} : std::vector<std::string>{"CreateFile Err " + err});
        const std::string noted = "cannot open " + (c.held.empty() ? own : c.held) + ": ";
        EXPECT_EQ(rig.NotesWith(noted + (c.held.empty() ? "EIO" : "EBUSY")), opens ? 0u : 1u);
        EXPECT_EQ(transport().openDevice >= 0, opens);
        rig.backend.commands.clear();
        EXPECT_EQ(TestUnitReady(), opens ? 1 : 0);
        EXPECT_EQ(rig.backend.commands.size(), opens ? 1u : 0u);
        EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
        std::string why;
        EXPECT_EQ(TransportMaySendAnyCommand(why), !c.says);
        if (c.says) {
            EXPECT_EQ(why.rfind("The drive is in use: " + std::string(c.says), 0), 0u) << why;
            EXPECT_NE(why.find("`fuser -v " + c.held + "`"), std::string::npos) << why;
        }
        // Free again, the next open may send.
        EXPECT_EQ(OpenDrive(rig.drive), 1);
        EXPECT_TRUE(TransportMaySendAnyCommand(why));
    }
}

TEST_P(BothRules, PriorityIsLoweredForTheCommandAndNormalAfterwards) {
    using Calls = std::vector<std::string>;
    const struct {
        int holders;  // LoweredPriority objects around the commands
        Calls during, after;
    } cases[] = {
        {0, {"lowest", "normal", "lowest", "normal"}, {}},  // each command on its own
        {1, {"lowest"}, {"normal"}},                        // a held stretch
        {2, {"lowest"}, {"normal"}},                        // nested holders count once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.holders);
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
// the next command (which waits for it, or on sg gives it up), or by closing the drive (which
// gives up one still running). Nothing of it stays for the next command or the next open.
TEST_P(BothRules, TheEndOfANoWaitCommandIsTracedOnceHoweverItIsCollected) {
    const bool sg = GetParam();
    enum By { kPoll, kNextCommand, kClose };
    const char* const good = "\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"";
    const struct {
        const char* name;
        By by;
        bool running;  // the back end has not seen it end
        CommandOutcome outcome;
        const char* end;  // the cmd-end line's fields after the CDB; null: given up
        int state;
    } cases[] = {
        {"completed, polled", kPoll, false, Good(), good, 1},
        {"failed, polled", kPoll, false, CheckCondition(0x03, 0x0C, 0x00),
         "\"state\":2,\"status\":2,\"host\":0,\"sense\":\"03/0C/00\"", 2},
        {"ended, the next command waits", kNextCommand, false, Good(), good, 1},
        {"the drive went, the next command waits",
         kNextCommand,
         false,
         {.sent = true, .host = 1},
         "\"state\":2,\"status\":0,\"host\":1,\"sense\":\"00/00/00\"",
         2},
        {"running, the next command gives it up", kNextCommand, true, Good(), nullptr, 2},
        {"ended, the drive is closed", kClose, false, Good(), good, 1},
        {"running, the drive is closed", kClose, true, Good(), nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(sg);
        TraceCapture capture;
        rig.backend.finishWaits = !(c.running && c.by == kNextCommand);
        rig.backend.pendingPolls = c.running ? 1000 : 0;
        rig.backend.replies = {{c.outcome, {}}};
        uint8_t cdb[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, cdb, nullptr, 0), 1);
        cdb[0] = 0xEE;  // the caller's CDB may be gone by its end
        EXPECT_TRUE(capture.Events("cmd-end").empty());
        if (c.by == kPoll || c.running) {
            EXPECT_EQ(PollCommand(), c.running ? 0 : c.state);
        }
        if (c.by == kNextCommand) {
            EXPECT_EQ(TestUnitReady(), c.outcome.host ? 0 : 1);
        }
        if (c.by == kClose) CloseDrive();
        // sg reports its command block's state: the next command's, once there is one.
        EXPECT_TRUE((sg && c.by == kNextCommand) || PollCommand() == c.state);
        const auto ends = capture.Events("cmd-end");
        const auto abandoned = capture.Events("cmd-abandoned");
        ASSERT_EQ(ends.size(), c.end ? 1u : 0u);
        ASSERT_EQ(abandoned.size(), c.end ? 0u : 1u);
        const std::string line = c.end ? ends[0] : abandoned[0];
        const std::string fields = c.end ? "," + std::string(c.end) : "";
        EXPECT_NE(line.find("\"cdb\":\"f50000000000000000000000\"" + fields + "}"),
                  std::string::npos)
            << line;
        EXPECT_EQ(rig.NotesWith("the drive is gone"), c.outcome.host ? 1u : 0u);
        EXPECT_EQ(rig.NotesWith("had not finished command F5"), c.end ? 0u : 1u);
        ASSERT_EQ(OpenDrive(rig.drive), 1);
        EXPECT_EQ(TestUnitReady(), 1);
        EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
        PollCommand();
        CloseDrive();
        EXPECT_EQ(capture.Events("cmd-end").size() + capture.Events("cmd-abandoned").size(), 1u);
    }
}

}  // namespace
