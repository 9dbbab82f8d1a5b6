// The power-off DVD-ROM families (kinds 33, 35-38) on the CD-ROM flow, end to end over emulated
// drives, and their configuration patches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "download/cdrom.h"
#include "support/image_loader_sequences.h"

namespace {

using namespace expect;

struct Family {
    const char* id;
    uint8_t kind;
};
const Family kFamilies[] = {
    {"LD5860", 33}, {"LD5861", 35}, {"LD5851", 36}, {"LD5862", 37}, {"LD5852", 38}};

const std::string kComplete = "HLV DOWNLOAD|none|Down Load complete";
const std::string kPowerOff =
    "CD-ROM DOWNLOAD|stop|Down Load complete\nPlease turn off the PC. (Not Restart)";

EmulatedRun& Download(EmulatedRun& run, const char* program, const std::string& drive,
                      std::vector<uint8_t> image, TransportChoice t = TransportChoice::Sr) {
    run.program = program;
    run.drives = {drive};
    run.transport = t;
    run.image = std::move(image);
    return run.Run();
}

TEST(CdRomPowerOff, DownloadsEndToEnd) {
    // Both sides of the chunked boundary: one WRITE BUFFER of buffer 0, or 32 KiB pieces.
    for (const Transfer* transfer : {&kChecked[1], &kChecked[2]}) {
        for (const Family& f : kFamilies) {
            for (TransportChoice t : kBothTransports) {
                SCOPED_TRACE(std::string(f.id) + " " + std::to_string(transfer->size) + " " +
                             TransportName(t));
                EmulatedRun run;
                Download(run, f.id, f.id, EmulatedRun::Sample(f.id, transfer->size), t);
                EXPECT_EQ(run.commands, PowerOffDownload(f.kind, *transfer, false));
                EXPECT_EQ(Boxes(run.messages),
                          std::vector<std::string>{f.kind == 35 ? kPowerOff : kComplete});
                EXPECT_TRUE(run.stages.empty());
                EXPECT_EQ(run.outcome, Outcome::Succeeded);
                EXPECT_EQ(run.emulated[0]->InLoader(), f.kind == 35);
                EXPECT_EQ(run.emulated[0]->BufferBytes(0, 65536), Padded(run.image));
                // The settling time, second by second.
                EXPECT_GE(run.clock().ElapsedMs(), 10000u);
            }
        }
    }
}

// A drive that runs its loader already, picked as its group's first identity: no switch.
TEST(CdRomPowerOff, DriveInItsLoaderIsNotSwitched) {
    for (const Family& f : {kFamilies[0], kFamilies[2], kFamilies[4]}) {
        SCOPED_TRACE(f.id);
        EmulatedRun run;
        run.commandLine = false;
        Download(run, f.id, std::string(f.id) + ",loader=1", EmulatedRun::Sample(f.id, 65535));
        EXPECT_EQ(run.commands, PowerOffDownload(f.kind, kChecked[1], true));
        EXPECT_EQ(Boxes(run.messages), std::vector<std::string>{kComplete});
    }
}

// What reaches the drive: the image with the bytes its configuration asks for.
TEST(CdRomPowerOff, ConfigurationReachesTheDrive) {
    struct Case {
        const char* id;
        const char* config;
        uint32_t at;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"LD5861", "FC", 40, {0x24, 0x53, 0x98, 0x1E}},
        {"LD5862", "3F", 40, {0x26, 0x13, 0xB8, 0x17}},
        {"LD5860", "AB01", kCarriedByteOffset, {0xAB}},
        {"LD5851", "3C", 40, {}},  // reads no configuration
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EmulatedRun run;
        Download(run, c.id, std::string(c.id) + ",config=" + c.config,
                 EmulatedRun::Sample(c.id, 140000));
        ASSERT_EQ(run.outcome, Outcome::Succeeded);
        std::vector<uint8_t> expected = run.image;
        std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + c.at);
        EXPECT_EQ(run.emulated[0]->BufferBytes(0, expected.size()), expected);
    }
}

TEST(CdRomPowerOff, PatchTables) {
    struct Case {
        uint8_t kind, first;
        std::vector<uint8_t> at40;  // empty: unchanged
        uint8_t at1FFFD;
    };
    const std::vector<uint8_t> kept;
    const Case cases[] = {
        {35, 0x3C, {0x24, 0x13, 0x98, 0x16}, 0x77},
        {35, 0x3F, {0x26, 0x13, 0x98, 0x06}, 0x77},
        {35, 0xFC, {0x24, 0x53, 0x98, 0x1E}, 0x77},
        {35, 0xFF, {0x26, 0x53, 0x98, 0x0E}, 0x77},
        {37, 0x3C, {0x24, 0x13, 0xB8, 0x17}, 0x77},
        {37, 0x3F, {0x26, 0x13, 0xB8, 0x17}, 0x77},
        {37, 0xFC, {0x24, 0x53, 0xB8, 0x17}, 0x77},
        {37, 0xFF, {0x26, 0x53, 0xB8, 0x0F}, 0x77},
        {35, 0x3D, kept, 0x77},
        {37, 0x00, kept, 0x77},
        {33, 0x3C, kept, 0x3C},
        {36, 0x3C, kept, 0x77},
        {38, 0xFF, kept, 0x77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + std::to_string(c.first));
        std::vector<uint8_t> image(k256KiB, 0x77);
        CarryConfiguration(c.kind, c.first, image.data());
        std::vector<uint8_t> at40(image.begin() + 40, image.begin() + 44);
        EXPECT_EQ(at40, c.at40.empty() ? std::vector<uint8_t>(4, 0x77) : c.at40);
        EXPECT_EQ(image[kCarriedByteOffset], c.at1FFFD);
        image[40] = image[41] = image[42] = image[43] = image[kCarriedByteOffset] = 0x77;
        EXPECT_EQ(std::count(image.begin(), image.end(), 0x77), std::ptrdiff_t{k256KiB});
    }
}

// ---- failures ----------------------------------------------------------------------------------

TEST(CdRomPowerOff, EveryFailureEndsAsItShould) {
    const std::string cd = "CD-ROM DOWNLOAD|stop|", hlv = "HLV DOWNLOAD|stop|";
    // The first INQUIRY a drive receives is the scan's.
    const FailureRow rows[] = {
        {"no body",
         "LD5862",
         {"LD5862"},
         -1,
         65536,
         ResizeTo<31>,
         {cd + "Down load file open error(CD-004)\n(31 bytes: an image holds 32 to 262144 bytes)"},
         -1,
         false},
        {"larger than the buffer",
         "LD5862",
         {"LD5862"},
         -1,
         65536,
         ResizeTo<262145>,
         {cd + "Down load file open error(CD-004)\n(262145 bytes: an image holds 32 to 262144 "
               "bytes)"},
         -1,
         false},
        // The drive never entered its loader: nothing switches it there.
        {"first INQUIRY, main program",
         "LD5862",
         {"LD5862,fail=12@2:02/3A/00"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-006)", cd + "02-3a00"},
         0,
         false,
         0},
        {"first INQUIRY, in the loader",
         "LD5862",
         {"LD5862,loader=1,fail=12@2:05/24/00"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-006)", cd + "05-2400"},
         1,
         false,
         0},
        {"switch",
         "LD5861",
         {"LD5861,fail=CC:05/26/00"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(NG-101)", "HLV CD-ROM DOWNLOAD|stop|Down Load fault(CD-007)"},
         1,
         false,
         0},
        {"INQUIRY after the switch",
         "LD5851",
         {"LD5851,fail=12@4:02/04/01"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-008)"},
         2,
         false,
         0},
        {"another family's loader",
         "LD5862",
         {"LD5862", "LD5850"},
         1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-009)"},
         2,
         false,
         0},
        {"image of another loader",
         "LD5852",
         {"LD5852"},
         -1,
         65536,
         OtherLoader,
         {cd + "Down Load fault(CD-00A)"},
         2,
         false,
         0},
        // Nothing is sent without the drive's configuration byte.
        {"configuration read",
         "LD5862",
         {"LD5862,fail=3C:04/00/00"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-00Z)"},
         2,
         false,
         0},
        // ... nor with a byte of it missing: the 4-byte area holds 2 bytes when all came.
        {"short configuration read",
         "LD5862",
         {"LD5862,short=3C"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-00Z)"},
         2,
         false,
         0},
        {"write",
         "LD5852",
         {"LD5852,fail=3B@2:04/00/00"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-00Z)"},
         2,
         false,
         2},
        {"INQUIRY after leaving",
         "LD5851",
         {"LD5851,fail=12@6:02/04/01"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-00C)"},
         2,
         false,
         2},
        // The drive has left its loader: it is not switched back into it.
        {"last INQUIRY",
         "LD5851",
         {"LD5851,fail=12@7:02/04/01"},
         -1,
         65536,
         nullptr,
         {cd + "Down Load fault(CD-00D)"},
         2,
         false,
         2},
        // Leaving failed: the drive still runs its loader, and is switched out of it now.
        {"last INQUIRY, loader not left",
         "LD5851",
         {"LD5851,fail=CC@2:05/26/00,fail=12@7:02/04/01"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(NG-101)", cd + "Down Load fault(CD-00D)"},
         3,
         false,
         2},
        {"still in the loader",
         "LD5860",
         {"LD5860,fail=CC@2:05/26/00"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(NG-101)", hlv + "Down Load fault(NG-00E)"},
         2,
         true,
         2},
    };
    for (const FailureRow& row : rows) RunFailureRow(row);
}

// Kind 33 compares no identity before the write: an image made for another loader goes in.
TEST(CdRomPowerOff, Kind33TakesAnyHeader) {
    EmulatedRun run;
    std::vector<uint8_t> image = EmulatedRun::Sample("LD5860", 65536);
    image[12] = 'X';
    Download(run, "LD5860", "LD5860", image);
    EXPECT_EQ(run.commands, PowerOffDownload(33, kChecked[2], false));
    EXPECT_EQ(run.outcome, Outcome::Succeeded);
}

// In generic mode a drive of no group runs as the last group's kind (38) only when the user says
// so; with no group in force its loader identity matches none, and nothing is written.
TEST(CdRomPowerOff, DriveOfNoFamilyInGenericMode) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "yes" : "no");
        EmulatedRun run;
        run.commandLine = false;
        run.ui().answers = {answer};
        Download(run, "HLVDOWNLOAD", "LD5852,identity=STRANGER",
                 EmulatedRun::Sample("LD5852", 65536));
        ASSERT_FALSE(run.messages.empty());
        EXPECT_EQ(run.messages[0].type, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
        if (answer == IDNO) {
            EXPECT_EQ(run.messages.size(), 1u);
            EXPECT_TRUE(run.commands.empty());
            EXPECT_EQ(run.outcome, Outcome::NothingDone);
            continue;
        }
        EXPECT_EQ(Boxes({run.messages.back()}),
                  std::vector<std::string>{"CD-ROM DOWNLOAD|stop|Down Load fault(CD-009)"});
        EXPECT_EQ(run.emulated[0]->CountOf(0x3B), 0);
        EXPECT_FALSE(run.emulated[0]->InLoader());
        EXPECT_EQ(run.outcome, Outcome::Failed);
    }
}

}  // namespace
