// The CD-RW families reprogrammed through their loader, end to end over emulated drives.
#include "download/loader_switch.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/emulated_run.h"

namespace {

using namespace expect;

// The commands of a whole download of a 6,000-byte image by a drive that runs its main program.
std::vector<std::string> Download6000(uint8_t kind) {
    std::vector<std::string> c;
    if (kind == 4) Add(c, "cf0000000060020002000000 in 2");
    Add(c, Switch());
    Add(c, kTur, 4);
    if (kind == 17) Add(c, "ce000000400c010004000000 in 4");
    if (kind == 19) Add(c, {Inquiry(), "ce000000800c010004000000 in 4"});
    if (kind == 20) Add(c, {Inquiry(), "ce005a00800c000004000000 in 4"});
    Add(c, Inquiry());  // the loader check
    Add(c, {Write(5, 0, 0, 2048), Write(5, 0, 2048, 2048), Write(5, 0, 4096, 1904)});
    Add(c, {Read(1, 1, 0, 2048), Read(1, 1, 2048, 2048), Read(1, 1, 4096, 1872)});
    Add(c, "3b050100000000000000 out 0");  // store
    Add(c, Inquiry(65536));
    Add(c, Switch());
    Add(c, kTur, 4);
    return c;
}

TEST(LoaderSwitch, EveryKindDownloadsEndToEnd) {
    const std::pair<const char*, uint8_t> kinds[] = {
        {"LD3521", 4}, {"LD4740", 17}, {"LD4631", 18}, {"LD4741", 19}, {"LD4742", 20}};
    for (auto [id, kind] : kinds) {
        for (TransportChoice t : kBothTransports) {
            SCOPED_TRACE(std::string(id) + " " + TransportName(t));
            EmulatedRun run;
            run.program = id;
            run.drives = {id};
            run.transport = t;
            run.image = EmulatedRun::Sample(id, 6000);
            run.Run();
            EXPECT_EQ(run.commands, Download6000(kind));
            EXPECT_EQ(run.MessageTexts(), std::vector<std::string>{"Down Load complete"});
            EXPECT_EQ(run.outcome, Outcome::Succeeded);
            EXPECT_EQ(run.emulated[0]->StoredFirmware(), run.image);
            EXPECT_FALSE(run.emulated[0]->InLoader());
            // The closing check runs in the loader, after its settling time.
            uint32_t settle = FindProgramEntry(id)->settleSeconds;
            EXPECT_GE(run.clock().ElapsedMs(), 1000u * settle + 10000u);
        }
    }
}

struct EdgeCase {
    const char* what;
    const char* id;
    const char* keys;
    uint32_t size;
    // the commands from the drive-data read (or the loader check) up to the first piece
    std::vector<std::string> prefix;
    size_t prefixAt;
    std::vector<uint8_t> storedAt44;  // bytes 44-47 of what the drive stored
};

TEST(LoaderSwitch, DriveBytesLoaderRevisionAndOddLength) {
    const EdgeCase cases[] = {
        {"kind 19 loader 0.1 reads with 0x40",
         "LD4741",
         ",loader-revision= 0.1,drive-data=00112233",
         6000,
         {Inquiry(), "ce000000400c010004000000 in 4"},
         6,
         {0, 0x11, 0x22, 0x33}},
        {"kind 17 takes reply bytes 1-3",
         "LD4740",
         ",drive-data=99A1B2C3",
         6000,
         {"ce000000400c010004000000 in 4"},
         6,
         {0, 0xA1, 0xB2, 0xC3}},
        {"kind 20 reply 3F is patched",
         "LD4742",
         ",drive-data=3F000000",
         6000,
         {Inquiry(), "ce005a00800c000004000000 in 4"},
         6,
         {0xFA, 0xE4, 0xC4, 0xE9}},
        {"kind 20 other reply kept",
         "LD4742",
         ",drive-data=3E010203",
         6000,
         {Inquiry(), "ce005a00800c000004000000 in 4"},
         6,
         {0x3E, 1, 2, 3}},
        {"odd length gets a pad byte",
         "LD4740",
         "",
         6001,
         {Write(5, 0, 4096, 1906)},
         10,
         {0, 0, 0, 0}},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedRun run;
        run.program = c.id;
        run.drives = {std::string(c.id) + c.keys};
        run.image = EmulatedRun::Sample(c.id, c.size);
        if (std::strstr(c.keys, "loader-revision")) std::memcpy(run.image.data() + 24, " 0.1", 4);
        run.Run();
        ASSERT_EQ(run.outcome, Outcome::Succeeded) << testing::PrintToString(run.MessageTexts());
        ASSERT_GE(run.commands.size(), c.prefixAt + c.prefix.size());
        EXPECT_EQ(std::vector<std::string>(run.commands.begin() + c.prefixAt,
                                           run.commands.begin() + c.prefixAt + c.prefix.size()),
                  c.prefix);
        std::vector<uint8_t> stored = run.emulated[0]->StoredFirmware();
        ASSERT_EQ(stored.size(), (c.size + 1) & ~1u);
        EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 44, stored.begin() + 48), c.storedAt44);
        if (c.size % 2) {
            EXPECT_EQ(stored.back(), 0xFF);
        }
    }
}

TEST(LoaderSwitch, DriveAlreadyInItsLoaderStartsWithTheLoaderCheck) {
    for (const char* id : {"LD3521", "LD4741", "LD4742"}) {
        SCOPED_TRACE(id);
        EmulatedRun run;
        run.program = id;
        run.drives = {std::string(id) + ",loader=1,tag=FF"};  // a tag read would refuse the image
        run.image = EmulatedRun::Sample(id, 4096);
        run.Run();
        EXPECT_EQ(run.outcome, Outcome::Succeeded);
        ASSERT_GE(run.commands.size(), 2u);
        EXPECT_EQ(run.commands[0], Inquiry());
        EXPECT_EQ(run.commands[1], Write(5, 0, 0, 2048));
    }
}

// ---- failures ----------------------------------------------------------------------------------

enum class Img { Good, NotOfGroup, BadSum, Short, Long, LoaderMismatch };

struct FailureRow {
    const char* what;
    const char* id;
    const char* keys;
    Img image;
    // the boxes in order: caption | icon (stop, excl, none) | text
    std::vector<std::string> boxes;
    const char* stage;  // the stage line at the end
    bool quit;
    bool switchedBack;  // the drive runs its main program at the end
    int writes;         // WRITE BUFFER commands sent (the store included)
};

TEST(LoaderSwitch, EveryFailureEndsAsItShould) {
    const std::string hlv = "HLV DOWNLOAD|stop|";
    std::string noGoodKeys = ",";
    for (int n = 4; n <= 13; ++n) noGoodKeys += "fail=12@" + std::to_string(n) + ":02/04/01,";
    noGoodKeys.pop_back();
    const FailureRow rows[] = {
        {"image of another family",
         "LD4740",
         "",
         Img::NotOfGroup,
         {hlv + "This File Is not  F/W"},
         "",
         false,
         true,
         0},
        {"kind 18 sum",
         "LD4631",
         "",
         Img::BadSum,
         {hlv + "Down Load fault(NG-SUM-Check)"},
         " ",
         false,
         true,
         0},
        {"kind 4 tag",
         "LD3521",
         ",tag=01",
         Img::Good,
         {"KR3521|none|UnMatch F/W"},
         "Un-Match F/W-KR3521",
         false,
         true,
         0},
        {"switch: INQUIRY",
         "LD4740",
         ",fail=12@2:02/3A/00",
         Img::Good,
         {hlv + "Down Load fault(NG-100)", hlv + " Down Load fault\n(PG Change 001)"},
         "Program Change Error",
         false,
         true,
         0},
        {"switch: 0xCC",
         "LD4740",
         ",fail=CC:05/26/00",
         Img::Good,
         {hlv + "Down Load fault(NG-101)", hlv + " Down Load fault\n(PG Change 001)"},
         "Program Change Error",
         false,
         true,
         0},
        {"kind 19 loader INQUIRY",
         "LD4741",
         ",fail=12@3:02/04/01",
         Img::Good,
         {"LD4741|none|Loader Inquiry CMD Error\nDownLoadEnd"},
         " ",
         true,
         false,
         0},
        {"kind 20 loader INQUIRY",
         "LD4742",
         ",fail=12@3:02/04/01",
         Img::Good,
         {"LD4742|none|Loader Inquiry CMD Error\nDownLoadEnd"},
         " ",
         true,
         false,
         0},
        // A drive read whose bytes the download uses must have answered: a failed tag read is no
        // match, a failed drive-data read sends nothing and returns to the main program.
        {"kind 4 tag read fails",
         "LD3521",
         ",fail=CF:04/44/00",
         Img::Good,
         {"KR3521|none|UnMatch F/W"},
         "Un-Match F/W-KR3521",
         false,
         true,
         0},
        {"kind 17 drive data read fails",
         "LD4740",
         ",fail=CE:04/44/00",
         Img::Good,
         {hlv + "Down Load fault\n(Drive Data)"},
         "Drive Data Read Error",
         false,
         true,
         0},
        {"kind 20 drive data read fails",
         "LD4742",
         ",fail=CE:04/44/00",
         Img::Good,
         {hlv + "Down Load fault\n(Drive Data)"},
         "Drive Data Read Error",
         false,
         true,
         0},
        {"loader check INQUIRY",
         "LD4740",
         ",fail=12@3:02/04/01",
         Img::Good,
         {"LD4740|none|Loader Inquiry CMD Error\nDownLoadEnd"},
         " ",
         true,
         false,
         0},
        {"loader check mismatch",
         "LD4740",
         "",
         Img::LoaderMismatch,
         {"LD4740|none|Loader Inquiry UnMatch1\nDownLoadEnd\n HALVERONCD-RW  KR-4740P 0.10\n"
          "HALVERONCD-RW  KR-4740P 1.20\x01"},
         " ",
         true,
         false,
         0},
        {"write",
         "LD4740",
         ",fail=3B@2:04/00/00",
         Img::Good,
         {hlv + "Down Load fault\n(WriteBuffer)"},
         "Write Buffer Error",
         false,
         true,
         2},
        {"read",
         "LD4740",
         ",fail=3C@3:04/00/00",
         Img::Good,
         {hlv + "Down Load fault\n(ReadBuffer)"},
         "Read Buffer Error",
         false,
         true,
         3},
        {"verify",
         "LD4740",
         ",garble=3C@2",
         Img::Good,
         {hlv + "Down Load fault\n(Veriyfy)"},
         "Read -> Verify  Error",
         false,
         true,
         3},
        {"store",
         "LD4740",
         ",fail=3B@4:04/00/00",
         Img::Good,
         {hlv + "Down Load fault\n(Buffer Fullsh)"},
         "Buffer Fullsh Error",
         false,
         true,
         4},
        {"identity never right",
         "LD4740",
         noGoodKeys.c_str(),
         Img::Good,
         {"HLV DOWNLOAD|none|Down Load NoGood"},
         " ",
         false,
         true,
         4},
        {"switch back",
         "LD4740",
         ",fail=CC@2:05/26/00",
         Img::Good,
         {"HLV DOWNLOAD|none|Down Load complete", hlv + "Down Load fault(NG-101)",
          hlv + "Down Load fault\n(PG Change 002)"},
         "Program Change Error",
         false,
         false,
         4},
        {"header only",
         "LD4740",
         "",
         Img::Short,
         {hlv + "This File Is not  F/W\n(31 bytes: an image holds 32 to 1046528 bytes)"},
         "",
         false,
         true,
         0},
        {"no room to read back",
         "LD4740",
         "",
         Img::Long,
         {hlv + "This File Is not  F/W\n(1046529 bytes: an image holds 32 to 1046528 bytes)"},
         "",
         false,
         true,
         0},
    };
    for (const FailureRow& row : rows) {
        for (TransportChoice t : kBothTransports) {
            SCOPED_TRACE(std::string(row.what) + " " + TransportName(t));
            EmulatedRun run;
            run.program = row.id;
            run.drives = {std::string(row.id) + row.keys};
            run.transport = t;
            uint32_t size = row.image == Img::Short ? 31 : row.image == Img::Long ? 1046529 : 5000;
            run.image = EmulatedRun::Sample(row.id, std::clamp<uint32_t>(size, 50, 6000));
            run.image.resize(size, 0x5A);
            if (row.image == Img::NotOfGroup) run.image[10] = 'X';
            if (row.image == Img::BadSum) run.image[100] ^= 1;
            if (row.image == Img::LoaderMismatch) {
                std::memcpy(run.image.data() + 24, "1.20\x01\x02\x03", 7);
            }
            run.Run();
            EXPECT_EQ(Boxes(run.messages), row.boxes);
            EXPECT_EQ(run.ui().stage, row.stage);
            EXPECT_EQ(run.outcome, row.boxes.back().find("complete") == std::string::npos
                                       ? Outcome::Failed
                                       : Outcome::Succeeded);
            EXPECT_EQ(run.quit, row.quit);
            EXPECT_EQ(!run.emulated[0]->InLoader(), row.switchedBack);
            EXPECT_EQ(run.emulated[0]->CountOf(0x3B), row.writes);
        }
    }
}

// ---- pure pieces -----------------------------------------------------------------------------

TEST(LoaderSwitch, ImageSumCoversTwoAreasAndReadsNothingPastTheImage) {
    std::vector<uint8_t> image(400000, 0);
    struct Case {
        uint32_t offset;
        bool counts;
    } cases[] = {
        {30, false},     {31, false},     {32, true},     {127006, true}, {127007, true},
        {127008, false}, {131103, false}, {131104, true}, {389151, true}, {389152, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        image[c.offset] = 1;
        EXPECT_EQ(CheckLoaderImageSum(image.data(), static_cast<uint32_t>(image.size())),
                  !c.counts);
        image[c.offset] = 0;
    }
    // Words add modulo 65,536, the byte at the odd offset high.
    image[32] = 0x01;
    image[33] = 0x80;
    image[34] = 0xFF;
    image[35] = 0x7F;
    EXPECT_TRUE(CheckLoaderImageSum(image.data(), 400000));
    // A size ends the sum: what lies behind it reads as zero.
    image[100] = 7;
    EXPECT_TRUE(CheckLoaderImageSum(image.data(), 100));
    EXPECT_FALSE(CheckLoaderImageSum(image.data(), 101));
}

TEST(LoaderSwitch, Kind20PatchTable) {
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> rows[] = {
        {{0x3C, 1, 2, 3}, {0xFA, 0xE4, 0xE4, 0xE8}}, {{0x3F, 1, 2, 3}, {0xFA, 0xE4, 0xC4, 0xE9}},
        {{0xFC, 1, 2, 3}, {0xFA, 0xE4, 0xE5, 0xEC}}, {{0xFF, 1, 2, 3}, {0xFA, 0xE4, 0xC5, 0xED}},
        {{0x3D, 1, 2, 3}, {0x3D, 1, 2, 3}},
    };
    for (const auto& [reply, bytes] : rows) {
        uint8_t out[4];
        Kind20DriveData(reply.data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 4), bytes) << int(reply[0]);
    }
}

}  // namespace
