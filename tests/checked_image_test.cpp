// The checked-image families (kinds 16 and 32), end to end over emulated drives; the transfer
// piece rule and the image sums.
#include "download/checked_image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "download/pieces.h"
#include "support/image_loader_sequences.h"

namespace {

using namespace expect;

TEST(CheckedImage, DownloadsEndToEnd) {
    for (const char* id : {"LD4630", "LD5850"}) {
        for (const Transfer& transfer : kChecked) {
            for (TransportChoice t : kBothTransports) {
                SCOPED_TRACE(std::string(id) + " " + std::to_string(transfer.size) + " " +
                             TransportName(t));
                EmulatedRun run;
                run.program = id;
                run.drives = {id};
                run.transport = t;
                run.image = EmulatedRun::Sample(id, transfer.size);
                run.Run();
                EXPECT_EQ(run.commands, CheckedDownload(transfer, false));
                EXPECT_EQ(Boxes(run.messages),
                          std::vector<std::string>{"HLV DOWNLOAD|none|Down Load complete"});
                EXPECT_EQ(run.outcome, Outcome::Succeeded);
                EXPECT_EQ(run.emulated[0]->StoredFirmware(), Padded(run.image));
                EXPECT_FALSE(run.emulated[0]->InLoader());
            }
        }
    }
    // Already in its loader: no switch, the loader identity still checked.
    EmulatedRun run;
    run.program = "LD5850";
    run.drives = {"LD5850,loader=1"};
    run.image = EmulatedRun::Sample("LD5850", 40001);
    run.Run();
    EXPECT_EQ(run.commands, CheckedDownload(kChecked[0], true));
    EXPECT_EQ(run.outcome, Outcome::Succeeded);
}

// ---- failures ----------------------------------------------------------------------------------

void PutBe32(std::vector<uint8_t>& image, uint32_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) image[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// The sample of 40,001 bytes: S = 40,002, its identity at 10,000.
void IdentityBeforeAQuarter(std::vector<uint8_t>& image) {
    std::memcpy(&image[9000], &image[10000], 24);
    image[10000] = 'x';
}
void BothAreasWrong(std::vector<uint8_t>& image) {
    image[35] ^= 1;
    image[39997] ^= 1;
}
void SummedAreaPastS(std::vector<uint8_t>& image) {
    image[200] += 2;  // the end, relative to the body, was S - 32
}

TEST(CheckedImage, EveryFailureEndsAsItShould) {
    const std::string hlv = "HLV DOWNLOAD|stop|";
    const std::string ng005 = hlv + "Down Load fault(NG-005)";
    // The first INQUIRY a drive receives is the scan's.
    const FailureRow rows[] = {
        {"no body",
         "LD5850",
         {"LD5850"},
         -1,
         40001,
         ResizeTo<31>,
         {hlv + "Invalid format"},
         -1,
         false},
        {"larger than the buffer",
         "LD5850",
         {"LD5850"},
         -1,
         40001,
         ResizeTo<524289>,
         {hlv + "Down load file open error(NG-004)\n(524289 bytes: an image holds 32 to 524288 "
                "bytes)"},
         -1,
         false},
        {"identity only before a quarter",
         "LD5850",
         {"LD5850"},
         -1,
         40001,
         IdentityBeforeAQuarter,
         {hlv + "Invalid format"},
         -1,
         false},
        {"kind 16, both areas wrong",
         "LD4630",
         {"LD4630"},
         -1,
         40001,
         BothAreasWrong,
         {hlv + "Down Load fault(CheckSum03)", ng005},
         -1,
         false},
        {"kind 32, summed area past S",
         "LD5850",
         {"LD5850"},
         -1,
         40001,
         SummedAreaPastS,
         {hlv + "Down Load fault(CheckSum01)", ng005},
         -1,
         false},
        // The drive never entered its loader: nothing switches it there.
        {"first INQUIRY, main program",
         "LD5850",
         {"LD5850,fail=12@2:02/3A/00"},
         -1,
         40001,
         nullptr,
         {hlv + "Down Load fault(NG-006)"},
         0,
         false},
        {"first INQUIRY, in the loader",
         "LD5850",
         {"LD5850,loader=1,fail=12@2:02/3A/00"},
         -1,
         40001,
         nullptr,
         {hlv + "Down Load fault(NG-006)"},
         1,
         false},
        {"switch",
         "LD4630",
         {"LD4630,fail=CC:05/26/00"},
         -1,
         40001,
         nullptr,
         {hlv + "Down Load fault(NG-101)", "HLV OWNLOAD|stop|Down Load fault(NG-007)"},
         1,
         false},
        {"INQUIRY after the switch",
         "LD4630",
         {"LD4630,fail=12@4:02/04/01"},
         -1,
         40001,
         nullptr,
         {hlv + "Down Load fault(NG-008)"},
         2,
         false},
        {"another family's loader",
         "LD5850",
         {"LD5850", "LD5871"},
         1,
         40001,
         nullptr,
         {hlv + "Down Load fault(NG-009)",
          hlv + "HALVERON VD5870 DOWNLOAD\nHALVERON LQ10A4 DOWNLOAD"},
         2,
         false,
         0},
        // The loader is not left.
        {"write",
         "LD5850",
         {"LD5850,fail=3B@2:04/00/00"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(NG-00B)"},
         1,
         true,
         2},
        {"read",
         "LD5850",
         {"LD5850,fail=3C@2:04/00/00"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(NG-00C)"},
         1,
         true,
         2},
        {"verify",
         "LD4630",
         {"LD4630,garble=3C@2"},
         -1,
         65536,
         nullptr,
         {hlv + "Down Load fault(Verify)"},
         2,
         false,
         2},
    };
    for (const FailureRow& row : rows) RunFailureRow(row);
}

// ---- pure pieces -------------------------------------------------------------------------------

TEST(CheckedImage, TransferPieceRule) {
    struct Case {
        TransferForm form;
        uint32_t total, first;
        std::vector<Piece> plan;
    };
    const Case cases[] = {
        {TransferForm::Writing, 40002, 40002, {{0, 40002, 0}}},
        // A multiple of 32,768: the last two pieces are full, only the last carries id 1.
        {TransferForm::Writing,
         98304,
         32768,
         {{0, 32768, 0}, {32768, 32768, 0}, {65536, 32768, 1}}},
        {TransferForm::Writing, 32770, 32768, {{0, 32768, 0}, {32768, 2, 1}}},
        {TransferForm::Reading, 32768, 32736, {{0, 32736, 1}, {32768, 32, 1}}},
        {TransferForm::Reading,
         262144,
         262112,
         {{0, 262112, 1},
          {32768, 32, 1},
          {65536, 32, 1},
          {98304, 32, 1},
          {131072, 32, 1},
          {163840, 32, 1},
          {196608, 32, 1},
          {229376, 32, 1},
          {262144, 32736, 1}}},
        // Chunked reading covers S: 32 bytes past the body.
        {TransferForm::Reading, 65538, 32768, {{0, 32768, 1}, {32768, 32768, 1}, {65536, 2, 1}}},
        // A header-only image: an empty piece, then one beyond the body.
        {TransferForm::Reading, 32, 0, {{0, 0, 1}, {32768, 32, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + "/" + std::to_string(c.first));
        EXPECT_EQ(PlanTransfer(c.form, c.total, c.first), c.plan);
    }
}

TEST(CheckedImage, SplitAreaSumsInOrderAndNothingReadPastS) {
    struct Case {
        const char* what;
        void (*mutate)(std::vector<uint8_t>& image, uint32_t S);
        int result;
    };
    const Case cases[] = {
        {"sample", [](std::vector<uint8_t>&, uint32_t) {}, 0},
        {"even bytes are not summed", [](std::vector<uint8_t>& i, uint32_t) { i[34] ^= 1; }, 0},
        {"start past S before any sum",
         [](std::vector<uint8_t>& i, uint32_t S) {
             PutBe32(i, 16400, S + 1);
             i[35] ^= 1;
         },
         1},
        {"start far past S", [](std::vector<uint8_t>& i, uint32_t) { PutBe32(i, 16400, ~0u); }, 1},
        {"end past S", [](std::vector<uint8_t>& i, uint32_t S) { PutBe32(i, 16404, S + 1); }, 2},
        {"first area",
         [](std::vector<uint8_t>& i, uint32_t S) {
             i[16415] ^= 1;
             i[S - 5] ^= 1;
         },
         3},
        {"second area", [](std::vector<uint8_t>& i, uint32_t S) { i[S - 5] ^= 1; }, 4},
        // The area then reaches 33 bytes past S: the zero fill, never read.
        {"area ending at S",
         [](std::vector<uint8_t>& i, uint32_t S) {
             i[33] = static_cast<uint8_t>(i[33] + i[16407]);  // the end field is in the first area
             PutBe32(i, 16404, S);
             i[33] = static_cast<uint8_t>(i[33] - i[16407]);
             i[S - 1] = 0;
         },
         0},
    };
    const std::vector<uint8_t> sample = EmulatedRun::Sample("LD4630", 16448);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = sample;  // exactly S bytes
        const uint32_t S = static_cast<uint32_t>(image.size());
        c.mutate(image, S);
        EXPECT_EQ(CheckSplitAreaSums(image.data(), S), c.result);
    }
}

TEST(CheckedImage, HeaderWordSumSkipsItsOwnWordsAndNothingReadPastS) {
    struct Case {
        const char* what;
        uint32_t at;
        uint8_t value;  // XORed into image[at]
        int result;
    };
    const Case cases[] = {
        {"sample", 0, 0, 0},        {"header", 31, 1, 0},      {"byte 206", 206, 0xFF, 0},
        {"byte 207", 207, 0xFF, 0}, {"sum word", 204, 1, 1},   {"body", 500, 1, 1},
        {"last byte", 1023, 1, 1},  {"end past S", 200, 2, 1}, {"end far past S", 203, 0xFF, 1},
    };
    const std::vector<uint8_t> sample = EmulatedRun::Sample("LD5850", 1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = sample;  // exactly S bytes
        image[c.at] ^= c.value;
        EXPECT_EQ(CheckHeaderWordSum(image.data(), 1024), c.result);
    }
}

}  // namespace
