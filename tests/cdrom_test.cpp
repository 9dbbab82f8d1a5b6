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
        for (TransportChoice t : kBothTransports) {
            SCOPED_TRACE(std::to_string(c.size) + (c.loader ? " loader " : " ") + TransportName(t));
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

void BadSum(std::vector<uint8_t>& image) {
    image[200] ^= 1;
}

TEST(CdRom, EveryFailureEndsAsItShould) {
    const std::string cd = "CD-ROM DOWNLOAD|stop|", hlv = "HLV DOWNLOAD|stop|";
    const char *toLoader = "Change to Loader.... ", *reading = "Read Buffer(Veriyfy).... ";
    const char* id = "LD5871";
    // The drive's first INQUIRY is the scan's.
    const FailureRow rows[] = {
        {"no body",
         id,
         {id},
         -1,
         32768,
         ResizeTo<31>,
         {cd + "Down load file open error(CD-004)\n(31 bytes: an image holds 32 to 262144 bytes)"},
         -1,
         false},
        {"larger than the buffer",
         id,
         {id},
         -1,
         32768,
         ResizeTo<262145>,
         {cd + "Down load file open error(CD-004)\n(262145 bytes: an image holds 32 to 262144 "
               "bytes)"},
         -1,
         false},
        {"sum",
         id,
         {id},
         -1,
         32768,
         BadSum,
         {cd + "Down Load fault(CD-005)"},
         -1,
         false,
         0,
         "CehckSUM.... "},
        // The drive never entered its loader: nothing switches it there.
        {"first INQUIRY, main program",
         id,
         {"LD5871,fail=12@2:02/3A/00"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-006)"},
         0,
         false,
         0,
         toLoader},
        {"first INQUIRY, in the loader",
         id,
         {"LD5871,loader=1,fail=12@2:02/3A/00"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-006)"},
         1,
         false,
         0,
         toLoader},
        {"switch INQUIRY",
         id,
         {"LD5871,fail=12@3:02/04/01"},
         -1,
         32768,
         nullptr,
         {hlv + "Down Load fault(NG-100)", "HLV CD-ROM DOWNLOAD|stop|Down Load fault(CD-007)"},
         0,
         false,
         0,
         toLoader},
        {"switch",
         id,
         {"LD5871,fail=CC:05/26/00"},
         -1,
         32768,
         nullptr,
         {hlv + "Down Load fault(NG-101)", "HLV CD-ROM DOWNLOAD|stop|Down Load fault(CD-007)"},
         1,
         false,
         0,
         toLoader},
        {"INQUIRY after the switch",
         id,
         {"LD5871,fail=12@4:02/04/01"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-008)"},
         2,
         false,
         0,
         toLoader},
        {"another family's loader",
         id,
         {id, "LD5850"},
         1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-009)"},
         2,
         false,
         0,
         toLoader},
        {"image of another loader",
         id,
         {id},
         -1,
         32768,
         OtherLoader,
         {cd + "Down Load fault(CD-00A)"},
         2,
         false,
         0,
         "CheckLoader.... "},
        {"write",
         id,
         {"LD5871,fail=3B:04/00/00"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-00Z)"},
         2,
         false,
         1,
         "Write Buffer.... "},
        // The loader is not left.
        {"read",
         id,
         {"LD5871,fail=3C@2:04/00/00"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-00Z)"},
         1,
         true,
         1,
         reading},
        {"verify",
         id,
         {"LD5871,garble=3C"},
         -1,
         32768,
         nullptr,
         {hlv + "Down Load fault(Verify)"},
         2,
         false,
         1,
         reading},
        {"INQUIRY after leaving",
         id,
         {"LD5871,fail=12@6:02/04/01"},
         -1,
         32768,
         nullptr,
         {cd + "Down Load fault(CD-00C)"},
         2,
         false,
         1,
         reading},
    };
    for (const FailureRow& row : rows) RunFailureRow(row);
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
