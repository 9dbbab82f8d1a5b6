// Drives that vanish, hang or are held by another program, in the middle of a whole download of
// each family, on both transports: the procedure ends with its own failure message, a note says
// why in Linux terms, nothing more goes to a vanished drive, and Research lists what is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/emulated_run.h"

namespace {

bool AnyHas(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

// A second drive of another family stays attached throughout.
constexpr char kBystander[] = "LD3520";
const std::string kBystanderLine = "HALVERONCD-RW  KR-3520  1.00            ";

struct Case {
    const char* program;
    const char* fault;    // --emulate keys of the program's drive
    const char* failure;  // the procedure's failure box
    // The note's cause: per transport where the kernel says it differently.
    const char* causeSr;
    const char* causeSg;
    // What Research lists afterwards, besides the bystander (which comes second).
    enum { kNothing, kBlankOnSr, kTheDrive } after;
};

const char* const kGone = "the drive is gone";
const char* const kHeld = "The drive is in use: ";  // a prefix; the rest names the node
const char* const kBusy = "EBUSY (Device or resource busy); another program holds the drive";

const Case kCases[] = {
    {"LD3410", "vanish=3B@2", "Down Load fault", "ENODEV", "DID_NO_CONNECT", Case::kNothing},
    {"LD4740", "vanish=3B@2", "Down Load fault\n(WriteBuffer)", "ENODEV", "DID_NO_CONNECT",
     Case::kNothing},
    {"LD5850", "vanish=3B@2", "Down Load fault(NG-00B)", "ENODEV", "DID_NO_CONNECT",
     Case::kNothing},
    {"LD5871", "vanish=3C@1", "Down Load fault(CD-00Z)", "ENODEV", "DID_NO_CONNECT",
     Case::kNothing},
    {"LD5860", "vanish=12@2", "Down Load fault(CD-006)", "ENODEV", "DID_NO_CONNECT",
     Case::kNothing},
    {"LDMULTI", "vanish=EA@2", "Down Load fault\n(WRITE MICROCODE)", "ENODEV", "DID_NO_CONNECT",
     Case::kNothing},
    {"LDMULTI", "vanish=F5", "Down Load fault\n(SYNCHRONZE MICROCODE Fullsh..)", "ENODEV",
     "DID_NO_CONNECT", Case::kNothing},
    // Held by another program when the download opens it: said before anything is sent.
    {"LD3410", "busy=2", kHeld, kBusy, kBusy, Case::kBlankOnSr},
    {"LDMULTI", "busy=2", kHeld, kBusy, kBusy, Case::kBlankOnSr},
    {"LD4740", "hang=3B@2", "Down Load fault\n(WriteBuffer)", "DID_TIME_OUT",
     "no answer within the program's limit of 180 s", Case::kTheDrive},
    {"LD5850", "hang=3B@2", "Down Load fault(NG-00B)", "DID_TIME_OUT",
     "no answer within the program's limit of 180 s", Case::kTheDrive},
    // A store given up on: said with the box, not after it.
    {"LDMULTI", "hang=F5", "Down Load fault\n(SYNCHRONZE MICROCODE Fullsh..)",
     "had not finished command F5", "had not finished command F5", Case::kTheDrive},
};

TEST(DriveLoss, EachProcedureEndsWithItsMessageAndTheCause) {
    for (const Case& c : kCases) {
        for (TransportChoice t : expect::kBothTransports) {
            SCOPED_TRACE(std::string(c.program) + "," + c.fault + " " + expect::TransportName(t));
            EmulatedRun run;
            run.program = c.program;
            run.drives = {std::string(c.program) + "," + c.fault, kBystander};
            run.transport = t;
            run.image = EmulatedRun::Sample(c.program, 65536);
            run.research = true;
            run.Run();

            EXPECT_EQ(run.outcome, Outcome::Failed);
            EXPECT_FALSE(run.quit);
            const std::vector<std::string> boxes = run.MessageTexts();
            const bool prefix = c.failure == kHeld;
            EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(), [&](const std::string& b) {
                return prefix ? b.rfind(c.failure, 0) == 0 : b == c.failure;
            })) << ::testing::PrintToString(boxes);
            const char* cause = t == TransportChoice::Sr ? c.causeSr : c.causeSg;
            EXPECT_TRUE(AnyHas(run.notes, cause)) << ::testing::PrintToString(run.notes);
            // ... and reaches the box it explains: the failure's, or the open's of a held drive.
            const std::string explained = prefix ? "CreateFile Err 16" : c.failure;
            auto box = std::find_if(run.messages.begin(), run.messages.end(),
                                    [&](const ShownMessage& m) { return m.text == explained; });
            ASSERT_NE(box, run.messages.end());
            EXPECT_NE(box->detail.find(cause), std::string::npos) << box->detail;
            EXPECT_TRUE(AnyHas(run.trace, "\"ev\":\"note\"")) << "the trace has the cause too";

            // After the vanish, nothing reaches the kernel on that handle.
            auto gone = std::find_if(run.trace.begin(), run.trace.end(), [](const std::string& l) {
                return l.find(kGone) != std::string::npos;
            });
            EXPECT_EQ(gone != run.trace.end(), std::string(c.fault).rfind("vanish", 0) == 0);
            for (auto l = gone; l != run.trace.end(); ++l) {
                if (l->find("\"ev\":\"cmd\"") != std::string::npos) {
                    EXPECT_NE(l->find("\"sent\":false"), std::string::npos) << *l;
                }
            }

            // The drive itself is listed as what it is: gone, there but unreadable, or there.
            std::vector<std::string> listed = {kBystanderLine};
            if (c.after == Case::kBlankOnSr && t == TransportChoice::Sr)
                listed.insert(listed.begin(), std::string(40, ' '));
            if (c.after == Case::kTheDrive && !run.researched.empty() &&
                run.researched[0].rfind("HALVERON", 0) == 0)
                listed.insert(listed.begin(), run.researched[0]);
            EXPECT_EQ(run.researched, listed);
        }
    }
}

}  // namespace
