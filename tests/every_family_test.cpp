// Every family of the catalogue end to end against its emulated drive with a sample image; and
// images through --check.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "app/cli/image_check.h"
#include "support/emulated_run.h"

namespace {

std::vector<FamilyCheck> Check(const std::vector<uint8_t>& bytes, const std::string& only = "") {
    std::string path = ::testing::TempDir() + "check_" + std::to_string(::getpid()) + ".bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::vector<FamilyCheck> checks = CheckImage(path, only, TransportChoice::Sr);
    std::remove(path.c_str());
    return checks;
}

TEST(EveryFamily, DownloadsAndAcceptsItsSampleImage) {
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& entry = kProgramTable[i];
        ASSERT_NE(CDISCFLASHDlg::ProcedureForKind(entry.kind), nullptr) << entry.id;
        const SampleImageRule* rule = FindSampleImageRule(entry.id);
        ASSERT_NE(rule, nullptr) << entry.id << " has a download but no sample image";
        const std::vector<uint8_t> image =
            EmulatedRun::Sample(entry.id, std::clamp(65536u, rule->minSize, rule->maxSize));
        for (TransportChoice t : expect::kBothTransports) {
            SCOPED_TRACE(std::string(entry.id) + " " + expect::TransportName(t));
            EmulatedRun run;
            run.Of(entry.id, "", t).image = image;
            run.Run();
            EXPECT_EQ(run.outcome, Outcome::Succeeded)
                << testing::PrintToString(run.MessageTexts());
            EXPECT_EQ(run.emulated[0]->Stores(), 1);
        }
        std::vector<FamilyCheck> own = Check(image, entry.id);
        ASSERT_EQ(own.size(), 1u);
        EXPECT_EQ(own[0].verdict, FamilyCheck::Verdict::Accepted) << CheckLine(own[0]);
        // What a family that looks at the image found there.
        EXPECT_EQ(own[0].identity.empty(), !own[0].examined) << CheckLine(own[0]);
    }
}

TEST(ImageCheck, RandomBytesAndTinyFilesAreRefusedByEveryFamilyThatLooks) {
    std::mt19937 random(20261208);
    std::vector<uint8_t> noise(50000), tiny(20, 0x41);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    for (const std::vector<uint8_t>* bytes : {&noise, &tiny}) {
        std::vector<FamilyCheck> checks = Check(*bytes);
        ASSERT_EQ(static_cast<int>(checks.size()), kProgramTableSize);
        for (const FamilyCheck& c : checks) {
            const std::string line = CheckLine(c);
            SCOPED_TRACE(line);
            // A message that quotes the image's bytes shows them escaped.
            for (char ch : line) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << int(ch);
            if (c.examined || bytes == &tiny)
                EXPECT_EQ(c.verdict, FamilyCheck::Verdict::Refused);
            else
                EXPECT_NE(line.find("accepted, content not examined"), std::string::npos);
        }
        EXPECT_EQ(CheckStatus(checks), 1);
        // LD4742 does not look for an identity: its loader check ends the program, but only
        // that family's check; the families after it still run, on a fresh drive and state.
        if (bytes == &noise) {
            EXPECT_NE(CheckLine(checks[8]).find("(the program would end here)"), std::string::npos);
            EXPECT_EQ(checks.back().verdict, FamilyCheck::Verdict::Accepted);
        }
    }
}

}  // namespace
