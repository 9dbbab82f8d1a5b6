// The DVD-RAM family's microcode download, end to end over emulated drives.
#include "download/microcode.h"

#include <gtest/gtest.h>

#include "support/emulated_run.h"

namespace {

using namespace expect;

std::string Ea(uint32_t offset, uint32_t length) {
    return Vendor12(0xEA, offset, length, "out");
}
const std::string kStore = "f50000000000000000000000 none 0 nowait";

struct SizeCase {
    uint32_t size;
    std::vector<std::string> pieces;
    int32_t range;  // the write stage's progress range
};

TEST(Microcode, PiecesAndProgressOnBothSidesOfTheLastPieceRule) {
    const SizeCase cases[] = {
        // 48 + 512·2: two whole pieces
        {1072, {Ea(0, 560), Ea(512, 560)}, 2},
        // 48 + 512·2 + 100: a short last piece of 148 bytes; the range stays 2
        {1172, {Ea(0, 560), Ea(512, 560), Ea(1024, 196)}, 2},
        // r = 463: still short
        {1535, {Ea(0, 560), Ea(512, 560), Ea(1024, 559)}, 2},
        // r = 464: the last piece is whole and the range grows
        {1536, {Ea(0, 560), Ea(512, 560), Ea(1024, 560)}, 3},
        // an image of one short piece
        {49, {Ea(0, 97)}, 0},
    };
    for (const SizeCase& c : cases) {
        for (TransportChoice t : {TransportChoice::Sr, TransportChoice::Sg}) {
            SCOPED_TRACE(testing::Message()
                         << c.size << (t == TransportChoice::Sr ? " sr" : " sg"));
            EmulatedRun run;
            run.program = run.drives[0] = "LDMULTI";
            run.transport = t;
            run.image = EmulatedRun::Sample("LDMULTI", c.size);
            run.Run();
            std::vector<std::string> expected = {kTur, Inquiry(65536), kTur, kTur};
            Add(expected, c.pieces);
            Add(expected, {kStore, Inquiry(65536)});
            EXPECT_EQ(run.commands, expected);
            EXPECT_EQ(run.MessageTexts(), std::vector<std::string>{"Down Load complete"});
            EXPECT_EQ(run.outcome, Outcome::Succeeded);
            // Every piece carried the header; the drive holds the image as the file does,
            // with the zeros past its end a short last piece carries.
            std::vector<uint8_t> stored = run.emulated[0]->StoredFirmware();
            ASSERT_GE(stored.size(), run.image.size());
            EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + run.image.size()),
                      run.image);
            EXPECT_EQ(std::count(stored.begin() + run.image.size(), stored.end(), 0),
                      stored.end() - stored.begin() - run.image.size());
            // The write stage's progress range.
            bool found = false;
            for (size_t i = 0; i + 1 < run.trace.size(); ++i)
                if (run.trace[i].find("F/W Writing  ..") != std::string::npos) {
                    EXPECT_NE(run.trace[i + 1].find("\"op\":\"range\",\"low\":0,\"high\":" +
                                                    std::to_string(c.range) + ","),
                              std::string::npos)
                        << run.trace[i + 1];
                    found = true;
                }
            EXPECT_TRUE(found);
        }
    }
}

TEST(Microcode, StoreEndsTheSettlingWaitEarly) {
    EmulatedRun run;
    run.program = run.drives[0] = "LDMULTI";
    run.drives[0] += ",store=7";
    run.image = EmulatedRun::Sample("LDMULTI", 4096);
    run.Run();
    EXPECT_EQ(run.outcome, Outcome::Succeeded);
    // 0.7 s without a disc, 7 s of store, 2.5 s of pumping: far from the 120 s wait.
    EXPECT_GE(run.clock().ElapsedMs(), 10200u);
    EXPECT_LT(run.clock().ElapsedMs(), 20000u);
}

struct FailureRow {
    const char* what;
    const char* keys;
    uint32_t size;
    const char* other;  // a second drive, which the user selects; null: the command-line file
    std::vector<std::string> boxes;
    const char* stage;
    int pieces;  // 0xEA commands sent
};

TEST(Microcode, EveryFailureEndsAsItShould) {
    const std::string hlv = "HLV DOWNLOAD|stop|";
    std::string noGood = "LDMULTI";
    for (int n = 3; n <= 12; ++n) noGood += ",fail=12@" + std::to_string(n) + ":02/04/01";
    const std::string tooLarge = std::to_string(kMicrocodeImageMax + 1);
    const FailureRow rows[] = {
        {"a disc in the drive",
         "LDMULTI,disc=1",
         4096,
         nullptr,
         {"HLV DOWNLOAD|excl|Please eject the disc and try again.."},
         "",
         0},
        // The status line shows the SCSI status on sr, the adapter's status on sg.
        {"INQUIRY",
         "LDMULTI,fail=12@2:04/44/00",
         4096,
         nullptr,
         {hlv + "Drive Inquiry Error", hlv + "04-44-0 \nStatus %S"},
         "",
         0},
        {"drive of another family",
         "LDMULTI",
         4096,
         "LD4740",
         {hlv + "This File Is not  F/W"},
         "",
         0},
        {"disc put in during the write",
         "LDMULTI,fail=EA@2:05/2C/00",
         4096,
         nullptr,
         {"HLV DOWNLOAD|excl|Media is Seted. \nPlease eject the disc and try again.."},
         "Media In Set Error",
         2},
        {"other write failure",
         "LDMULTI,fail=EA@3:02/3A/00",
         4096,
         nullptr,
         {hlv + "Down Load fault\n(WRITE MICROCODE)", hlv + "02-3a-0 \nStatus %S"},
         "F/W Write Error",
         3},
        {"store fails",
         "LDMULTI,fail=F5:03/0C/00",
         4096,
         nullptr,
         {hlv + "Down Load fault\n(SYNCHRONZE MICROCODE Fullsh..)"},
         "F/W Write Error",
         8},
        {"store outlasts the wait",
         "LDMULTI,store=200",
         4096,
         nullptr,
         {hlv + "Down Load fault\n(SYNCHRONZE MICROCODE Fullsh..)"},
         "F/W Write Error",
         8},
        {"identity never right",
         noGood.c_str(),
         4096,
         nullptr,
         {"HLV DOWNLOAD|none|Down Load NoGood"},
         " ",
         8},
        {"header only",
         "LDMULTI",
         48,
         nullptr,
         {hlv + "This File Is not  F/W\n(48 bytes: an image holds 49 to 1048112 bytes)"},
         "",
         0},
        {"last piece past the buffer",
         "LDMULTI",
         kMicrocodeImageMax + 1,
         nullptr,
         {hlv + "This File Is not  F/W\n(" + tooLarge +
          " bytes: an image holds 49 to 1048112 bytes)"},
         "",
         0},
    };
    for (const FailureRow& row : rows) {
        for (TransportChoice t : {TransportChoice::Sr, TransportChoice::Sg}) {
            SCOPED_TRACE(std::string(row.what) + (t == TransportChoice::Sr ? " sr" : " sg"));
            EmulatedRun run;
            run.program = "LDMULTI";
            run.drives = {row.keys};
            const bool asked = row.other && PickedOfAnotherFamily(run, "LDMULTI", row.other);
            if (row.other) {
                run.drives.push_back(row.other);
                run.commandLine = false;
                run.select = 1;
            }
            run.transport = t;
            run.image = EmulatedRun::Sample("LDMULTI", std::clamp(row.size, 49u, 8000u));
            run.image.resize(row.size, 0x11);
            run.Run();
            std::vector<std::string> boxes = Boxes(run);
            if (asked) TakeQuestion(boxes, "LDMULTI");
            std::vector<std::string> expected = row.boxes;
            for (std::string& b : expected)
                if (size_t at = b.find("%S"); at != std::string::npos)
                    b.replace(at, 2, t == TransportChoice::Sr ? "02" : "00");
            EXPECT_EQ(boxes, expected);
            EXPECT_EQ(run.ui().stage, row.stage);
            EXPECT_EQ(run.outcome, Outcome::Failed);
            EXPECT_EQ(run.emulated[0]->CountOf(0xEA), row.pieces);
        }
    }
}

// A file named on the command line is measured before the disc check: a length the download
// cannot take sends nothing. A chosen file, or one that cannot be
// opened, comes after it. 4 GiB + 1 bytes, sparse.
TEST(Microcode, CommandLineFileMeasuredBeforeTheDiscCheck) {
    const std::string tooLong =
        "HLV DOWNLOAD|stop|This File Is not  F/W\n(4294967297 bytes: an image holds 49 to "
        "1048112 bytes)";
    struct Row {
        bool commandLine;
        const char* file;  // null: the sparse file
        std::vector<std::string> commands;
        std::string box;
    } rows[] = {
        {true, nullptr, {}, tooLong},
        {false, nullptr, {kTur}, tooLong},
        {true, "/nonexistent/image.bin", {kTur}, "HLV DOWNLOAD|stop|File not found"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.commandLine << " " << (row.file ? row.file : ""));
        EmulatedRun run;
        run.Of("LDMULTI");
        run.commandLine = row.commandLine;
        run.fileSize = uint64_t{1} << 32 | 1;
        if (row.file) run.file = row.file;
        run.Run();
        EXPECT_EQ(run.commands, row.commands);
        EXPECT_EQ(Boxes(run), std::vector<std::string>{row.box});
    }
}

TEST(Microcode, PiecePlanCutsAtTheFileNotTheMicrocode) {
    EXPECT_TRUE(PlanMicrocodePieces(0).empty());
    EXPECT_TRUE(PlanMicrocodePieces(48).empty());
    EXPECT_EQ(PlanMicrocodePieces(560), (std::vector<Piece>{{0, 512}}));
    EXPECT_EQ(PlanMicrocodePieces(561), (std::vector<Piece>{{0, 512}, {512, 49}}));
    // The last copy of the largest image stays inside the 1 MiB buffer; one byte more and it
    // would not.
    auto copyEnd = [](uint32_t S) {
        return kMicrocodeHeaderSize + PlanMicrocodePieces(S).back().offset + kMicrocodePieceSize;
    };
    EXPECT_LE(copyEnd(kMicrocodeImageMax), 1048576u);
    EXPECT_GT(copyEnd(kMicrocodeImageMax + 1), 1048576u);
}

}  // namespace
