// Lengths a drive returns are bounded before use: INQUIRY answers longer or shorter than asked,
// and an identity poll whose answers never come leave nothing of the image to pass for them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "support/emulated_run.h"

namespace {

TEST(DriveAnswers, InquiryLongerOrShorterThanAskedEndsCleanly) {
    struct Case {
        const char* id;
        int length;  // INQUIRY bytes the drive sends, whatever was asked
        Outcome outcome;
        const char* firstBox;  // empty: none
    } cases[] = {
        // Longer than asked: the host takes what it asked for, and the download goes on.
        {"LD3411", 255, Outcome::Succeeded, ""},
        {"LD4740", 255, Outcome::Succeeded, ""},
        {"LD5871", 255, Outcome::Succeeded, ""},
        {"LD5850", 255, Outcome::Succeeded, ""},
        {"LDMULTI", 255, Outcome::Succeeded, ""},
        // Shorter than the 64 KiB the microcode download asks for, yet whole.
        {"LDMULTI", 36, Outcome::Succeeded, ""},
        // Too short to carry the identity: the drive is not one of the family.
        {"LD4740", 20, Outcome::NothingDone, "HLV DRIVE [4740] NotFound"},
        {"LD5861", 1, Outcome::NothingDone, "HLV DRIVE [5861] NotFound"},
    };
    for (const Case& c : cases) {
        for (TransportChoice t : expect::kBothTransports) {
            SCOPED_TRACE(std::string(c.id) + " " + std::to_string(c.length) + " " +
                         expect::TransportName(t));
            EmulatedRun run;
            run.Of(c.id, ",inquiry-length=" + std::to_string(c.length), t).image =
                EmulatedRun::Sample(c.id, 4097);
            run.Run();
            EXPECT_EQ(run.outcome, c.outcome) << testing::PrintToString(run.MessageTexts());
            if (*c.firstBox) {
                ASSERT_FALSE(run.MessageTexts().empty());
                EXPECT_EQ(run.MessageTexts()[0], c.firstBox);
            }
        }
    }
}

// The microcode download polls INQUIRY into the image buffer and then compares what it holds.
// An image whose header carries the drive's identity where INQUIRY data has it must not pass
// for the drive's answer when no poll is answered.
TEST(DriveAnswers, AnIdentityPollThatIsNeverAnsweredIsNoGoodWhateverTheImageHolds) {
    std::vector<uint8_t> image = EmulatedRun::Sample("LDMULTI", 1100);
    std::memcpy(image.data() + 8, "HALVERONDVD-RAM VR-6910N", 24);
    EmulatedRun learn;
    learn.Of("LDMULTI").image = image;
    learn.Run();
    ASSERT_EQ(learn.outcome, Outcome::Succeeded);
    // Every INQUIRY after the store command fails.
    std::string keys;
    int inquiries = 0;
    bool stored = false;
    for (const LoggedCommand& c : learn.emulated[0]->Log()) {
        if (c.cdb[0] == 0xF5) stored = true;
        if (c.cdb[0] != 0x12) continue;
        ++inquiries;
        if (stored) keys += ",fail=12@" + std::to_string(inquiries) + ":04/44/00";
    }
    ASSERT_FALSE(keys.empty());
    for (int n = 1; n <= 10; ++n)  // the poll's further attempts
        keys += ",fail=12@" + std::to_string(inquiries + n) + ":04/44/00";
    for (TransportChoice t : expect::kBothTransports) {
        SCOPED_TRACE(expect::TransportName(t));
        EmulatedRun run;
        run.Of("LDMULTI", keys, t).image = image;
        run.Run();
        EXPECT_EQ(run.outcome, Outcome::Failed);
        ASSERT_FALSE(run.MessageTexts().empty());
        EXPECT_EQ(run.MessageTexts().back(), "Down Load NoGood");
    }
}

}  // namespace
