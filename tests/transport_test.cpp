// The command interface over a back end that only says what became of each request: the
// direction and CDB length of every opcode, the error record by each back end's rules, the open
// and its retry, the no-wait protocol and the trace, the notes and the vanished-drive watch.
#include "scsi/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "support/fake_backend.h"
#include "support/recording_priority.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
const uint8_t kStore[12] = {0xF5};

// One drive opened through the fake back end, by the rules of sr or sg.
struct Rig {
    TestEnv env;
    RecordingPriority priority;
    FakeBackend backend;
    DriveRecord drive;
    TraceCapture capture;

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
    // The trace lines of one kind holding `part`.
    size_t Traced(const char* ev, const std::string& part) {
        const auto lines = capture.Events(ev);
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(part) != l.npos; });
    }
};

class BothRules : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Transport, BothRules, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "sg" : "sr"; });

// Every opcode goes out with its group's CDB length and the table's direction (one outside the
// table after the box, with none: the drive decides), in the caller's buffer; ExecCommand refuses
// 0xCF without a word, ExecCommandEx sends it. A direction the caller gives is taken, unless there
// is no data. Bytes 0-11 of the record are the request block's CDB area: the sg block keeps an
// earlier command's bytes past a shorter one's until the next open; sr starts afresh.
TEST_P(BothRules, EachCommandGoesOutWithItsDirectionAndLength) {
    std::array<uint8_t, 256> table{};  // written out independently of the code under test
    for (int op : {0x00, 0x01, 0x0B, 0x16, 0x17, 0x1B, 0x1E, 0x2B, 0x2F, 0x34, 0x35, 0x45,
                   0x47, 0x48, 0x49, 0x4B, 0x53, 0x58, 0x5B, 0xA1, 0xA5, 0xA9, 0xBB, 0xF5})
        table[op] = XFER_NONE;
    for (int op : {0x03, 0x08, 0x12, 0x1A, 0x1C, 0x25, 0x28, 0x3C, 0x42, 0x43, 0x44, 0x51,
                   0x52, 0x59, 0x5A, 0x5C, 0xA8, 0xAD, 0xBD, 0xBE, 0xCE, 0xD4, 0xD6})
        table[op] = XFER_IN;
    for (int op : {0x04, 0x15, 0x1D, 0x2A, 0x2E, 0x3B, 0x54, 0x55, 0x5D, 0xAA, 0xCC, 0xCD, 0xEA})
        table[op] = XFER_OUT;
    Rig rig(GetParam());
    uint8_t buffer[16] = {};
    for (int op = 0; op < 256; ++op) {
        SCOPED_TRACE(op);
        rig.env.ui.messages.clear();
        rig.backend.commands.clear();
        rig.priority.calls.clear();
        lastCommandError.senseKey = 0x55;
        const uint8_t cdb[12] = {static_cast<uint8_t>(op), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        const size_t length = op < 0x20 ? 6 : op < 0x80 ? 10 : 12;
        Bytes area(20, 0);  // ascending opcodes never shorten the CDB
        if (op != 0xCF) std::copy(cdb, cdb + length, area.begin());
        EXPECT_EQ(ExecCommand(cdb, buffer, sizeof buffer), op == 0xCF ? 0 : 1);
        EXPECT_EQ(Rig::Record(0, 20), area);
        EXPECT_EQ(rig.priority.calls, (op == 0xCF ? Texts{} : Texts{"lowest", "normal"}));
        EXPECT_EQ(rig.backend.commands.size(), op == 0xCF ? 0u : 1u);
        if (op == 0xCF) continue;
        const FakeCommand& c = rig.backend.commands[0];
        EXPECT_EQ(c.cdb, Bytes(cdb, cdb + length));
        EXPECT_EQ(c.direction, table[op]);
        EXPECT_TRUE(c.length == sizeof buffer && c.data == buffer && c.timeoutMs == 300000);
        EXPECT_EQ(rig.env.ui.MessageTexts().size(), table[op] ? 0u : 1u);
        EXPECT_TRUE(table[op] || (rig.env.ui.messages[0].text == "Unknown Command!" &&
                                  rig.env.ui.messages[0].caption == rt().appTitle));
    }
    EXPECT_EQ(rig.Traced("cmd",
                         "\"cdb\":\"cf0102030405060708090a0b\",\"dir\":\"unspecified\","
                         "\"len\":16,\"wait\":true,\"sent\":false,\"result\":0"),
              1u);
    EXPECT_EQ(TestUnitReady(), 1);  // after a 12-byte CDB
    EXPECT_EQ(Rig::Record(6, 12), (GetParam() ? Bytes{6, 7, 8, 9, 10, 11} : Bytes(6)));
    ASSERT_EQ(OpenDrive(rig.drive), 1);
    EXPECT_EQ(TestUnitReady(), 1);
    EXPECT_EQ(Rig::Record(0, 12), Bytes(12));

    const struct {
        uint8_t opcode, direction;
        uint32_t length;
        uint8_t resolved;
        const char* traced;  // "dir" and "len" of the trace line
    } calls[] = {
        {0xCF, XFER_IN, 8, XFER_IN, "\"dir\":\"in\",\"len\":8"},
        {0xCF, XFER_OUT, 8, XFER_OUT, "\"dir\":\"out\",\"len\":8"},
        {0x3C, XFER_NONE, 8, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {0x3B, XFER_OUT, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {0x12, XFER_IN, 0, XFER_NONE, "\"dir\":\"none\",\"len\":0"},
        {0x3C, XFER_BY_OPCODE, 0, XFER_IN, "\"dir\":\"in\",\"len\":0"},
        {0xF1, XFER_BY_OPCODE, 0, 0, "\"dir\":\"unspecified\",\"len\":0"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.traced);
        rig.backend.commands.clear();
        const uint8_t cdb[12] = {c.opcode};
        EXPECT_EQ(ExecCommandEx(1, c.direction, cdb, buffer, c.length), 1);
        ASSERT_EQ(rig.backend.commands.size(), 1u);
        EXPECT_EQ(rig.backend.commands[0].direction, c.resolved);
        EXPECT_EQ(rig.backend.commands[0].cdb.size(), c.opcode == 0x12  ? 6u
                                                      : c.opcode < 0x80 ? 10u
                                                                        : 12u);
        EXPECT_NE(rig.capture.Events("cmd").back().find(c.traced), std::string::npos);
    }
    // 64 KiB into the caller's buffer, or no data at all, in the opcode's own direction.
    rig.backend.commands.clear();
    std::vector<uint8_t> big(kLength64K);
    const uint8_t cdb[12] = {0x3C, 0x02};
    EXPECT_EQ(ExecCommand64K(cdb, big.data()) + ExecCommand64K(cdb, nullptr), 2);
    ASSERT_EQ(rig.backend.commands.size(), 2u);
    EXPECT_TRUE(rig.backend.commands[0].data == big.data() &&
                rig.backend.commands[0].length == kLength64K);
    EXPECT_TRUE(rig.backend.commands[1].length == 0 &&
                rig.backend.commands[1].direction == XFER_IN);
}

// What the transport makes of an outcome, waiting or not: the result, the record's bytes 12-14
// and 19 (the SCSI status on sr, the host status on sg; only sr lets sense key 0 with an ASC and
// ASCQ pass; sg fills the tail with 0xFF after giving up) and the residual. A drive that is gone
// (ENODEV, ENXIO, DID_NO_CONNECT) gets nothing more, traced unsent, until the next open, and
// the cause is noted once; other failures leave things as they were.
TEST_P(BothRules, EachOutcomeIsJudgedByTheRulesInForce) {
    const bool sg = GetParam();
    using Judged = std::array<uint8_t, 5>;  // the result, key, ASC, ASCQ, byte 19
    const Judged ok = {1}, failed = {}, ff = {0, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto cc = &CheckCondition;
    const struct {
        CommandOutcome outcome;
        Judged sr, sg;
        bool gone = false;
    } cases[] = {
        {Good(), ok, ok},
        {{.sent = true, .residual = 2}, ok, ok},
        {cc(0x02, 0x3A, 0), {0, 2, 0x3A, 0, 2}, {0, 2, 0x3A, 0, 0}},
        {cc(0, 0x5D, 1), ok, {0, 0, 0x5D, 1, 0}},
        {cc(0, 0x5D, 0), {0, 0, 0x5D, 0, 2}, {0, 0, 0x5D, 0, 0}},
        {cc(0x22, 4, 1), {0, 0x22, 4, 1, 2}, {0, 0x22, 4, 1, 0}},  // the key byte taken whole
        {{.sent = true, .status = 0x08}, {0, 0, 0, 0, 8}, failed},
        {{.sent = true, .status = 2, .host = 4, .senseKey = 4, .asc = 0x44},
         {0, 4, 0x44, 0, 2},
         {0, 4, 0x44, 0, 4}},
        {{.sent = true, .driver = 0x06}, failed, failed},
        {{.sent = true, .err = EIO}, failed, failed},
        {{.sent = true, .err = EIO, .host = 7}, failed, {0, 0, 0, 0, 7}},  // reply unreadable
        {{.sent = true, .gaveUpAfterMs = 180000}, ff, ff},
        {CommandOutcome{}, failed, failed},
        {{.sent = true, .err = ENODEV}, failed, failed, true},
        {{.sent = true, .err = ENXIO}, failed, failed, true},
        {{.sent = true, .host = 1}, failed, {0, 0, 0, 0, 1}, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const Judged& want = sg ? c.sg : c.sr;
        for (int wait : {1, 0}) {
            SCOPED_TRACE(::testing::Message() << "row " << i << (wait ? " waiting" : " no-wait"));
            Rig rig(sg);
            rig.backend.replies = {{c.outcome, {}}};
            const uint8_t cdb[12] = {0x00, 0, 0, 0, 0, 0x5A};
            int r = ExecCommandEx(wait, XFER_BY_OPCODE, cdb, nullptr, 0);
            if (!wait) {  // the same judgement shows as state 1 or 2
                EXPECT_EQ(r, 1);
                if (sg) lastCommandError = CommandErrorRecord{};  // sg's Poll refills it
                r = PollCommand();
                EXPECT_EQ(r, want[0] ? 1 : 2);
                r = r == 1;
            }
            const CommandErrorRecord& e = lastCommandError;
            EXPECT_EQ(Judged({uint8_t(r), e.senseKey, e.asc, e.ascq, e.status}), want);
            EXPECT_EQ(Rig::Record(15, 19), Bytes(4, want == ff ? 0xFF : 0));
            EXPECT_TRUE(want[0] || e.cdb[5] == 0x5A);
            EXPECT_EQ(LastCommandResidual(), c.outcome.residual);
            // The next command leaves nothing of this one in the record, if it may go out.
            EXPECT_EQ(TestUnitReady(), c.gone ? 0 : 1);
            EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
            EXPECT_EQ(LastCommandResidual(), 0u);
            EXPECT_EQ(ExecCommandEx(0, XFER_NONE, kStore, nullptr, 0), c.gone ? 0 : 1);
            EXPECT_EQ(rig.backend.commands.size(), c.gone ? 1u : 3u);
            EXPECT_EQ(rig.capture.Events("cmd").size(), 3u);
            EXPECT_EQ(rig.Traced("cmd", "\"sent\":false"),
                      (c.gone ? 2u : 0u) + (wait && !c.outcome.sent));
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
    const std::string mounted = "/dev/sr0 is mounted, or another program";
    const struct {
        std::deque<int> failures;
        std::string held;  // the node another program holds
        std::string says;  // how the box tells the hold
    } cases[] = {
        {{}, "", ""},
        {{EACCES}, "", ""},
        {{EACCES, EIO}, "", ""},
        {{EIO, EIO}, "/dev/sr0", ""},  // only EBUSY names a holder
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
        const uint64_t before = rig.env.clock.ElapsedMs(), pause = c.failures.empty() ? 0 : 1500;
        EXPECT_EQ(OpenDrive(rig.drive), opens ? 1 : 0);
        EXPECT_EQ(rig.backend.opens, 1 + (c.failures.empty() ? 1 : 2));
        const uint64_t took = rig.env.clock.ElapsedMs() - before;
        EXPECT_TRUE(took >= pause && took < pause + 100) << took;
        const std::string err = opens ? "" : std::to_string(c.failures.back());
        EXPECT_EQ(rig.env.ui.MessageTexts(), opens ? Texts{} : Texts{"CreateFile Err " + err});
        const std::string noted = "cannot open " + (c.says.empty() ? own : c.held) + ": ";
        EXPECT_EQ(rig.NotesWith(noted + (c.says.empty() ? "EIO" : "EBUSY")), opens ? 0u : 1u);
        EXPECT_EQ(transport().openDevice >= 0, opens);
        rig.backend.commands.clear();
        EXPECT_EQ(TestUnitReady(), opens ? 1 : 0);
        EXPECT_EQ(rig.backend.commands.size(), opens ? 1u : 0u);
        EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
        std::string why;
        EXPECT_EQ(TransportMaySendAnyCommand(why), c.says.empty());
        EXPECT_EQ(why.rfind("The drive is in use: " + c.says, 0), c.says.empty() ? why.npos : 0);
        EXPECT_EQ(why.find("`fuser -v " + c.held + "`") != why.npos, !c.says.empty()) << why;
        EXPECT_EQ(OpenDrive(rig.drive), 1);  // free again, the next open may send
        EXPECT_TRUE(TransportMaySendAnyCommand(why));
    }
}

// A no-wait command's end is traced once and noted, however it is collected: by PollCommand, by
// the next command (which waits for it, or on sg gives it up), or by closing the drive (which
// gives up one still running, unless the caller gave it up before). Nothing of it stays for the
// next command or the next open.
TEST_P(BothRules, TheEndOfANoWaitCommandIsTracedOnceHoweverItIsCollected) {
    const bool sg = GetParam();
    enum By { kPoll, kNextCommand, kClose, kGiveUpAndClose };
    const std::string good = ",\"state\":1,\"status\":0,\"host\":0,\"sense\":\"00/00/00\"}";
    const struct {
        By by;
        bool running;  // the back end has not seen it end
        CommandOutcome outcome;
        std::string end;  // the cmd-end line's fields after the CDB; none: given up
    } cases[] = {
        {kPoll, false, Good(), good},
        {kPoll, false, CheckCondition(3, 0x0C, 0),
         ",\"state\":2,\"status\":2,\"host\":0,\"sense\":\"03/0C/00\"}"},
        {kNextCommand, false, Good(), good},
        {kNextCommand,
         false,
         {.sent = true, .host = 1},  // the drive went
         ",\"state\":2,\"status\":0,\"host\":1,\"sense\":\"00/00/00\"}"},
        {kNextCommand, true, Good(), ""},
        {kClose, false, Good(), good},
        {kClose, true, Good(), ""},
        {kGiveUpAndClose, true, Good(), ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        Rig rig(sg);
        rig.backend.finishWaits = !(c.running && c.by == kNextCommand);
        rig.backend.pendingPolls = c.running ? 1000 : 0;
        rig.backend.replies = {{c.outcome, {}}};
        uint8_t cdb[12] = {0xF5};
        ASSERT_EQ(ExecCommandEx(0, XFER_NONE, cdb, nullptr, 0), 1);
        cdb[0] = 0xEE;  // the caller's CDB may be gone by its end
        EXPECT_TRUE(rig.capture.Events("cmd-end").empty());
        const int state = c.end.find("\"state\":1") != std::string::npos ? 1 : 2;
        const int polled = c.by == kPoll || c.running ? PollCommand() : -1;
        EXPECT_EQ(polled, c.by == kPoll || c.running ? (c.running ? 0 : state) : -1);
        EXPECT_EQ(c.by == kNextCommand ? TestUnitReady() : 1, c.outcome.host ? 0 : 1);
        if (c.by == kGiveUpAndClose) GiveUpCommand();
        if (c.by >= kClose) CloseDrive();
        // sg reports its command block's state: the next command's, once there is one.
        EXPECT_TRUE((sg && c.by == kNextCommand) || PollCommand() == state);
        const std::string traced = "\"cdb\":\"f50000000000000000000000\"";
        EXPECT_EQ(rig.Traced("cmd-end", traced + c.end), c.end.empty() ? 0u : 1u);
        EXPECT_EQ(rig.Traced("cmd-abandoned", traced + "}"), c.end.empty() ? 1u : 0u);
        EXPECT_EQ(rig.NotesWith("the drive is gone"), c.outcome.host ? 1u : 0u);
        EXPECT_EQ(rig.NotesWith("had not finished command F5"), c.end.empty() ? 1u : 0u);
        ASSERT_EQ(OpenDrive(rig.drive), 1);
        EXPECT_EQ(TestUnitReady(), 1);
        EXPECT_EQ(Rig::Record(12, 20), Bytes(8));
        PollCommand();
        CloseDrive();
        EXPECT_EQ(rig.capture.Events("cmd-end").size() + rig.capture.Events("cmd-abandoned").size(),
                  1u);
    }
}

}  // namespace
