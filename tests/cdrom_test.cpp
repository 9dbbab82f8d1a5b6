// The DVD-ROM family whose loader reports its own identity (kind 34), end to end over emulated
// drives, and its image sum.
#include "download/cdrom.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/image_loader_sequences.h"

namespace {

using namespace expect;

TEST(CdRom, DownloadsEndToEnd) {
    struct Case {
        uint32_t size;
        bool loader;
        const Transfer& transfer;
    };
    const Case cases[] = {
        {32768, false, kCdRom32768},
        {32767, false, kCdRom32768},  // padded to 32,768
        {262144, false, kCdRom262144},
        {32768, true, kCdRom32768},  // already in its loader: no switch
    };
    for (const Case& c : cases) {
        for (TransportChoice t : kBoth) {
            SCOPED_TRACE(std::to_string(c.size) + (c.loader ? " loader " : " ") + Name(t));
            EmulatedRun run;
            run.program = "LD5871";
            run.drives = {c.loader ? "LD5871,loader=1" : "LD5871"};
            run.transport = t;
            run.image = EmulatedRun::Sample("LD5871", c.size);
            run.Run();
            EXPECT_EQ(run.commands, CdRomDownload(c.transfer, c.loader));
            EXPECT_TRUE(run.messages.empty());
            std::vector<std::string> stages = {" ",
                                               "CehckSUM.... ",
                                               "Change to Loader.... ",
                                               "CheckLoader.... ",
                                               "Write Buffer.... ",
                                               "Read Buffer(Veriyfy).... ",
                                               "DwonLoad End "};
            EXPECT_EQ(run.stages, stages);
            EXPECT_EQ(run.outcome, Outcome::Succeeded);
            EXPECT_EQ(run.emulated[0]->StoredFirmware(), Padded(run.image));
            EXPECT_FALSE(run.emulated[0]->InLoader());
        }
    }
}

// ---- failures ----------------------------------------------------------------------------------

enum class Img { Good, BadSum, Short, Long, OtherHeader };

struct FailureRow {
    const char* what;
    std::vector<std::string> drives;
    int select;  // -1: the file from the command line; else the drive picked, file from the dialog
    Img image;
    std::vector<std::string> boxes;  // caption|icon|text, in order
    const char* stage;               // the stage line at the end
    int switches;                    // 0xCC commands sent
    bool inLoader;                   // the drive runs its loader at the end
};

TEST(CdRom, EveryFailureEndsAsItShould) {
    const std::string cd = "CD-ROM DOWNLOAD|stop|", hlv = "HLV DOWNLOAD|stop|";
    const char* kToLoader = "Change to Loader.... ";
    // The drive's first INQUIRY is the scan's.
    const FailureRow rows[] = {
        {"no body",
         {"LD5871"},
         -1,
         Img::Short,
         {cd + "Down load file open error(CD-004)\n(31 bytes: an image holds 32 to 262144 bytes)"},
         "",
         0,
         false},
        {"larger than the buffer",
         {"LD5871"},
         -1,
         Img::Long,
         {cd +
          "Down load file open error(CD-004)\n(262145 bytes: an image holds 32 to 262144 bytes)"},
         "",
         0,
         false},
        {"sum",
         {"LD5871"},
         -1,
         Img::BadSum,
         {cd + "Down Load fault(CD-005)"},
         "CehckSUM.... ",
         0,
         false},
        // The drive never entered its loader: nothing switches it there.
        {"first INQUIRY, main program",
         {"LD5871,fail=12@2:02/3A/00"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-006)"},
         kToLoader,
         0,
         false},
        {"first INQUIRY, in the loader",
         {"LD5871,loader=1,fail=12@2:02/3A/00"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-006)"},
         kToLoader,
         1,
         false},
        {"switch INQUIRY",
         {"LD5871,fail=12@3:02/04/01"},
         -1,
         Img::Good,
         {hlv + "Down Load fault(NG-100)", "HLV CD-ROM DOWNLOAD|stop|Down Load fault(CD-007)"},
         kToLoader,
         0,
         false},
        {"switch",
         {"LD5871,fail=CC:05/26/00"},
         -1,
         Img::Good,
         {hlv + "Down Load fault(NG-101)", "HLV CD-ROM DOWNLOAD|stop|Down Load fault(CD-007)"},
         kToLoader,
         1,
         false},
        {"INQUIRY after the switch",
         {"LD5871,fail=12@4:02/04/01"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-008)"},
         kToLoader,
         2,
         false},
        {"another family's loader",
         {"LD5871", "LD5850"},
         1,
         Img::Good,
         {cd + "Down Load fault(CD-009)"},
         kToLoader,
         2,
         false},
        {"image of another loader",
         {"LD5871"},
         -1,
         Img::OtherHeader,
         {cd + "Down Load fault(CD-00A)"},
         "CheckLoader.... ",
         2,
         false},
        {"write",
         {"LD5871,fail=3B:04/00/00"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-00Z)"},
         "Write Buffer.... ",
         2,
         false},
        {"read",
         {"LD5871,fail=3C@2:04/00/00"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-00Z)"},
         "Read Buffer(Veriyfy).... ",
         1,
         true},
        {"verify",
         {"LD5871,garble=3C"},
         -1,
         Img::Good,
         {hlv + "Down Load fault(Verify)"},
         "Read Buffer(Veriyfy).... ",
         2,
         false},
        {"INQUIRY after leaving",
         {"LD5871,fail=12@6:02/04/01"},
         -1,
         Img::Good,
         {cd + "Down Load fault(CD-00C)"},
         "Read Buffer(Veriyfy).... ",
         2,
         false},
    };
    for (const FailureRow& row : rows) {
        for (TransportChoice t : kBoth) {
            SCOPED_TRACE(std::string(row.what) + " " + Name(t));
            EmulatedRun run;
            run.program = "LD5871";
            run.drives = row.drives;
            run.transport = t;
            run.commandLine = row.select < 0;
            run.select = row.select;
            run.image = EmulatedRun::Sample("LD5871", 32768);
            if (row.image == Img::Short) run.image.resize(31);
            if (row.image == Img::Long) run.image.resize(262145);
            if (row.image == Img::BadSum) run.image[200] ^= 1;
            if (row.image == Img::OtherHeader) run.image[12] = 'X';  // not summed
            run.Run();
            const EmulatedDrive& drive = *run.emulated[row.select < 0 ? 0 : row.select];
            EXPECT_EQ(Boxes(run.messages), row.boxes);
            EXPECT_EQ(run.ui().stage, row.stage);
            EXPECT_EQ(run.outcome, Outcome::Failed);
            EXPECT_EQ(drive.CountOf(0xCC), row.switches);
            EXPECT_EQ(drive.InLoader(), row.inLoader);
            if (row.image == Img::Short || row.image == Img::Long || row.image == Img::BadSum) {
                EXPECT_TRUE(run.commands.empty());
            }
        }
    }
}

// ---- the image sum -----------------------------------------------------------------------------

TEST(CdRom, ImageSumCoversTheBodyButNotTheSumWord) {
    struct Case {
        uint32_t offset;
        bool counts;
    } cases[] = {{0, false},   {31, false},  {32, true},  {155, true},
                 {158, false}, {159, false}, {160, true}, {399, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<uint8_t> image(400, 0);  // exactly S: nothing past it may be read
        EXPECT_TRUE(CheckCdRomImageSum(image.data(), 400));
        image[c.offset] = 1;
        EXPECT_EQ(CheckCdRomImageSum(image.data(), 400), !c.counts);
    }
    // Little-endian words, the sum modulo 65,536 in the word at 156.
    std::vector<uint8_t> image(200, 0);
    image[32] = 0x01, image[33] = 0x80, image[160] = 0xFF, image[161] = 0x80;
    image[156] = 0x00, image[157] = 0x01;
    EXPECT_TRUE(CheckCdRomImageSum(image.data(), 200));
    // 160 bytes or fewer: only the words at 32..155 count.
    image.resize(160);
    image[156] = 0x01, image[157] = 0x80;
    EXPECT_TRUE(CheckCdRomImageSum(image.data(), 160));
    EXPECT_TRUE(CheckCdRomImageSum(image.data(), 158));
}

}  // namespace
