// What a Linux user is told beside the boxes when no drive of the family was found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/emulated_run.h"

namespace {

// "HLV DRIVE [4740] NotFound": how many devices there were, which could not be opened and why,
// and what each listed drive is instead.
TEST(LinuxNotes, NotFoundSaysWhatWasThereInstead) {
    const struct {
        std::vector<std::string> drives;
        TransportChoice transport;
        std::vector<std::string> says;
    } cases[] = {
        {{"LD3410", "LD4740,busy=1", "LD5850,identity=TSSTcorpCDDVDW\\xffSH-224DB"},
         TransportChoice::Sr,
         {"no drive of the LD4740 family: 3 CD/DVD devices found among the CD/DVD block devices",
          "emu:sr1 could not be opened: EBUSY (Device or resource busy).",
          "emu:sr0: \"HALVERONCD-RW  KR-3410  \" is a drive of LD3410: start the program",
          "emu:sr2: \"TSSTcorpCDDVDW\\xFFSH-224DB \" is of no family this program knows.",
          "LD4740 takes \"HALVERONCD-RW  KR-4740P\", \"HALVERONCD-RW  KR-4740 \"."}},
        {{"LD3410", "LD4740,busy=1", "LD5850,identity=TSSTcorpCDDVDW\\xffSH-224DB"},
         TransportChoice::Sg,
         {"2 CD/DVD devices found among the SCSI generic nodes (/dev/sgN).",
          "emu:sg1 could not be opened: EBUSY",
          "emu:sg0: \"HALVERONCD-RW  KR-3410  \" is a drive"}},
        {{"LD5860,loader=1"},
         TransportChoice::Sr,
         {"emu:sr0: \"HALVERON LQ10A4 DOWNLOAD\" is a drive of LD5850, LD5860: start"}},
        {{}, TransportChoice::Sr, {"0 CD/DVD devices found", "its driver (sr_mod) is not loaded"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.drives));
        EmulatedRun run;
        run.program = "LD4740";
        run.drives = c.drives;
        run.transport = c.transport;
        run.Run();
        EXPECT_EQ(run.MessageTexts().back(), "HLV DRIVE [4740] NotFound");
        ASSERT_FALSE(run.notes.empty());
        for (const std::string& part : c.says)
            EXPECT_NE(run.notes.back().find(part), std::string::npos)
                << part << "\nin: " << run.notes.back();
    }
}

// A box shows the notes given since the last box, each once.
TEST(LinuxNotes, ABoxShowsTheNotesSinceTheLastOne) {
    TestEnv env;
    for (const char* n : {"1", "2", "1"}) Note(n);
    ShowMessage("first");
    ShowMessage("second");
    EXPECT_EQ(env.ui.messages[0].detail, "1\n\n2");
    EXPECT_EQ(env.ui.messages[1].detail, "");
}

}  // namespace
