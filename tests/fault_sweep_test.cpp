// A failure at every command: each procedure runs once with a small valid image to learn its
// commands, then once for each of them with that command failing, and once for each with the
// drive vanishing there; every run must end by itself with the procedure's own verdict. After a
// failed image write nothing more is written; after the drive vanished nothing more is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/emulated_run.h"

namespace {

// One family for each procedure, and the variants whose commands differ (the ROM tag, the drive
// data, the configuration carry-over, the power-off ending, chunked transfers).
struct SweepRow {
    const char* id;
    uint32_t size;
};
const SweepRow kRows[] = {
    {"LD3411", 40000}, {"LD3521", 4096}, {"LD4742", 4096},  {"LD4631", 4097},
    {"LDMULTI", 1100}, {"LD5871", 4097}, {"LD4630", 16448}, {"LD5850", 70000},
    {"LD5861", 70000}, {"LD5862", 4097}, {"LD5860", 4097},
};

// How the command fails: CHECK CONDITION with a sense no procedure singles out (HARDWARE ERROR,
// INTERNAL TARGET FAILURE), or the drive is unplugged there.
enum class Fault { CheckCondition, Vanish };

// Commands whose failure the procedure does not act on, so that it still ends in success:
// opcode and which of them, as --emulate's fail= counts (the drive's N-th command with that
// opcode; 0: every one).
struct Ignored {
    const char* id;  // null: every family
    uint8_t opcode;
    int nth;
};
const Ignored kIgnored[] = {
    {nullptr, 0x00, 0},  // TEST UNIT READY: its result is not used, or the next one is tried
    // an identity poll's attempt: the next one answers
    {"LD3411", 0x12, 3},
    {"LD3521", 0x12, 4},
    {"LD4631", 0x12, 4},
    {"LD4742", 0x12, 5},
    {"LDMULTI", 0x12, 3},
    // leaving the loader after a verified write: its result is not examined
    {"LD4630", 0x12, 5},
    {"LD4630", 0xCC, 2},
    {"LD5850", 0x12, 5},
    {"LD5850", 0xCC, 2},
    {"LD5871", 0x12, 5},
    {"LD5871", 0xCC, 2},
};
// ... but the microcode download's no-disc check reads its TEST UNIT READY's sense.
const Ignored kActedOn[] = {{"LDMULTI", 0x00, 1}};

// A drive gone there fails every later command too: a DownLoad still ends in success only when
// it vanishes at or after the first command whose result the procedure no longer examines, once
// the image is stored (verified, where the procedure reads it back).
const Ignored kVanishTail[] = {
    {"LD3521", 0x00, 5},  // the TEST UNIT READY after the switch back to the main program
    {"LD4631", 0x00, 5}, {"LD4742", 0x00, 5},
    {"LD4630", 0x00, 1},  // the closing TEST UNIT READY, then leaving the loader
    {"LD5850", 0x00, 1},
};

bool Lists(const Ignored* from, const Ignored* to, const std::string& id, uint8_t opcode, int n) {
    return std::any_of(from, to, [&](const Ignored& i) {
        return (!i.id || id == i.id) && i.opcode == opcode && (i.nth == 0 || i.nth == n);
    });
}

bool IsIgnored(const std::string& id, uint8_t opcode, int n) {
    return Lists(std::begin(kIgnored), std::end(kIgnored), id, opcode, n) &&
           !Lists(std::begin(kActedOn), std::end(kActedOn), id, opcode, n);
}

std::string Hex2(uint8_t v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

std::string FaultKey(Fault f, uint8_t opcode, int n) {
    const std::string at = Hex2(opcode) + "@" + std::to_string(n);
    return f == Fault::CheckCondition ? "fail=" + at + ":04/44/00" : "vanish=" + at;
}

void Sweep(Fault fault) {
    for (const SweepRow& row : kRows) {
        const std::vector<uint8_t> image = EmulatedRun::Sample(row.id, row.size);
        for (TransportChoice t : expect::kBothTransports) {
            EmulatedRun learn;
            learn.Of(row.id, "", t).image = image;
            learn.Run();
            ASSERT_EQ(learn.outcome, Outcome::Succeeded) << row.id;
            // The DownLoad's commands are the last of the drive's log; the fault counts from
            // the drive's first command.
            const std::vector<LoggedCommand> log = learn.emulated[0]->Log();
            ASSERT_GE(log.size(), learn.commands.size());
            const size_t from = log.size() - learn.commands.size();
            std::map<uint8_t, int> seen;
            for (size_t i = 0; i < from; ++i) ++seen[log[i].cdb[0]];
            bool tail = false;  // at or after the vanishing point that still ends well
            for (size_t i = from; i < log.size(); ++i) {
                const uint8_t op = log[i].cdb[0];
                const int n = ++seen[op];
                tail = tail || Lists(std::begin(kVanishTail), std::end(kVanishTail), row.id, op, n);
                const bool ignored = fault == Fault::Vanish ? tail : IsIgnored(row.id, op, n);
                const std::string key = FaultKey(fault, op, n);
                SCOPED_TRACE(std::string(row.id) + " " + expect::TransportName(t) + " command " +
                             std::to_string(i - from) + " " + key);
                EmulatedRun run;
                run.Of(row.id, "," + key, t).image = image;
                run.Run();
                const std::vector<std::string> boxes = expect::Boxes(run);
                if (ignored) {
                    EXPECT_EQ(run.outcome, Outcome::Succeeded) << testing::PrintToString(boxes);
                } else {
                    // The verdict may come before the switch back, which can still fail.
                    EXPECT_EQ(run.outcome, Outcome::Failed) << testing::PrintToString(boxes);
                    ASSERT_FALSE(boxes.empty());
                    EXPECT_EQ(boxes.back().find("|Down Load complete"), std::string::npos);
                }
                const std::vector<LoggedCommand> sent = run.emulated[0]->Log();
                if (fault == Fault::Vanish) {
                    // Nothing reaches a drive that is gone: later commands are traced unsent.
                    EXPECT_LE(sent.size(), i + 1);
                    const size_t at = i - from;
                    ASSERT_GT(run.trace.size(), 0u);
                    size_t cmd = 0;
                    for (const std::string& line : run.trace) {
                        if (line.find("\"ev\":\"cmd\"") == std::string::npos) continue;
                        if (cmd++ <= at) continue;
                        EXPECT_NE(line.find("\"sent\":false"), std::string::npos) << line;
                    }
                    continue;
                }
                // Nothing is written after a failed write.
                ASSERT_GT(sent.size(), i);
                if (!IsImageWriteOpcode(op)) continue;
                for (size_t k = i + 1; k < sent.size(); ++k) {
                    EXPECT_FALSE(IsImageWriteOpcode(sent[k].cdb[0])) << "command " << k - from;
                }
            }
        }
    }
}

TEST(FaultSweep, EveryCommandFailingEndsWithTheProcedureVerdict) {
    Sweep(Fault::CheckCondition);
}

TEST(FaultSweep, TheDriveVanishingAtEveryCommandEndsWithTheProcedureVerdict) {
    Sweep(Fault::Vanish);
}

}  // namespace
