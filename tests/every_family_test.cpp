// Every family of the catalogue whose procedure is built, end to end against its emulated
// drive with a sample image, and every image through --check.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "app/cli/image_check.h"
#include "support/emulated_run.h"

namespace {

// The families built when this test was written: ROM image (3), loader switch (5), microcode.
constexpr int kFamiliesBuilt = 9;

uint32_t SampleSize(const SampleImageRule& rule) {
    return std::clamp<uint32_t>(65536, rule.minSize, rule.maxSize);
}

TEST(EveryFamily, DownloadsItsSampleImageEndToEnd) {
    int covered = 0;
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& entry = kProgramTable[i];
        if (!CDISCFLASHDlg::ProcedureForKind(entry.kind)) continue;
        const SampleImageRule* rule = FindSampleImageRule(entry.id);
        ASSERT_NE(rule, nullptr) << entry.id << " has a procedure but no sample image";
        for (TransportChoice t : expect::kBothTransports) {
            SCOPED_TRACE(std::string(entry.id) + " " + expect::TransportName(t));
            EmulatedRun run;
            run.Of(entry.id, "", t).image = EmulatedRun::Sample(entry.id, SampleSize(*rule));
            run.Run();
            EXPECT_EQ(run.outcome, Outcome::Succeeded)
                << testing::PrintToString(run.MessageTexts());
            EXPECT_EQ(run.MessageTexts().back(), "Down Load complete");
            EXPECT_EQ(run.emulated[0]->Stores(), 1);
        }
        ++covered;
    }
    EXPECT_GE(covered, kFamiliesBuilt);
}

// ---- --check -----------------------------------------------------------------------------------

struct TempImage {
    std::string path;
    explicit TempImage(const std::vector<uint8_t>& bytes)
        : path(::testing::TempDir() + "check_" + std::to_string(::getpid()) + ".bin") {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~TempImage() { std::remove(path.c_str()); }
};

const FamilyCheck* Find(const std::vector<FamilyCheck>& checks, const std::string& id) {
    for (const FamilyCheck& c : checks)
        if (c.id == id) return &c;
    return nullptr;
}

TEST(ImageCheck, EachSampleImageIsAcceptedByItsOwnFamily) {
    int checked = 0;
    for (const SampleImageRule& rule : SampleImageRules()) {
        if (!CDISCFLASHDlg::ProcedureForKind(FindProgramEntry(rule.id)->kind)) continue;
        SCOPED_TRACE(rule.id);
        TempImage image(EmulatedRun::Sample(rule.id, SampleSize(rule)));
        std::vector<FamilyCheck> checks = CheckImage(image.path, "", TransportChoice::Sr);
        ASSERT_EQ(static_cast<int>(checks.size()), kProgramTableSize);
        const FamilyCheck* own = Find(checks, rule.id);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->verdict, FamilyCheck::Verdict::Accepted) << CheckLine(*own);
        EXPECT_EQ(CheckStatus(checks), own->examined ? 0 : 1);
        ++checked;
    }
    EXPECT_GE(checked, kFamiliesBuilt);
}

TEST(ImageCheck, LinesSayWhatEachFamilyWouldDo) {
    TempImage image(EmulatedRun::Sample("LD3411", 270001));
    std::vector<FamilyCheck> checks = CheckImage(image.path, "", TransportChoice::Sg);
    const std::pair<const char*, std::string> lines[] = {
        {"LD3410", "LD3410   refused: \"Invalid format\""},
        {"LD3411",
         "LD3411   accepted: 270001 bytes in 8 pieces, identity \"HALVERONCD-RW  KR-3411 \""},
        {"LD4740", "LD4740   refused: \"This File Is not  F/W\""},
        {"LDMULTI", "LDMULTI  accepted, content not examined: 270001 bytes in 528 pieces"},
    };
    for (const auto& [id, line] : lines) {
        ASSERT_NE(Find(checks, id), nullptr) << id;
        EXPECT_EQ(CheckLine(*Find(checks, id)), line);
    }
    EXPECT_EQ(CheckStatus(checks), 0);
    // Under a family's name only that family is checked.
    checks = CheckImage(image.path, "LD3520", TransportChoice::Sr);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(CheckLine(checks[0]), "LD3520   refused: \"Invalid format\"");
    EXPECT_EQ(CheckStatus(checks), 1);
}

TEST(ImageCheck, RandomBytesAndTinyFilesAreRefusedByEveryFamilyThatLooks) {
    std::mt19937 random(20261208);
    std::vector<uint8_t> noise(50000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> tiny(20, 0x41);
    for (const std::vector<uint8_t>* bytes : {&noise, &tiny}) {
        SCOPED_TRACE(bytes->size());
        TempImage image(*bytes);
        std::vector<FamilyCheck> checks = CheckImage(image.path, "", TransportChoice::Sr);
        for (const FamilyCheck& c : checks) {
            SCOPED_TRACE(CheckLine(c));
            // A message that quotes the image's bytes shows them escaped.
            for (char ch : CheckLine(c)) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << int(ch);
            if (!CDISCFLASHDlg::ProcedureForKind(FindProgramEntry(c.id.c_str())->kind)) {
                EXPECT_EQ(c.verdict, FamilyCheck::Verdict::NotChecked);
                EXPECT_NE(CheckLine(c).find("neither accepted nor refused"), std::string::npos);
            } else if (c.examined || bytes == &tiny) {
                EXPECT_EQ(c.verdict, FamilyCheck::Verdict::Refused);
                EXPECT_FALSE(c.messages.empty());
            } else {
                EXPECT_EQ(c.verdict, FamilyCheck::Verdict::Accepted);
                EXPECT_NE(CheckLine(c).find("accepted, content not examined"), std::string::npos);
            }
        }
        EXPECT_EQ(CheckStatus(checks), 1);
    }
}

TEST(ImageCheck, AProcedureThatWouldEndTheProgramEndsOnlyItsFamily) {
    // The loader reports another revision than the image names: the download stops the program.
    std::vector<uint8_t> bytes = EmulatedRun::Sample("LD4740", 6000);
    std::memcpy(bytes.data() + 24, "9.99", 4);
    TempImage image(bytes);
    std::vector<FamilyCheck> checks = CheckImage(image.path, "", TransportChoice::Sr);
    const FamilyCheck* ld4740 = Find(checks, "LD4740");
    ASSERT_NE(ld4740, nullptr);
    EXPECT_TRUE(ld4740->quit);
    EXPECT_EQ(ld4740->verdict, FamilyCheck::Verdict::Refused);
    EXPECT_NE(CheckLine(*ld4740).find("(the program would end here)"), std::string::npos);
    // The families after it are still checked, each on a fresh drive and state.
    const FamilyCheck* ld4741 = Find(checks, "LD4741");
    ASSERT_NE(ld4741, nullptr);
    EXPECT_FALSE(ld4741->quit);
    EXPECT_EQ(ld4741->verdict, FamilyCheck::Verdict::Refused);
    EXPECT_EQ(Find(checks, "LDMULTI")->verdict, FamilyCheck::Verdict::Accepted);
}

}  // namespace
