// What the procedures share: piece plans, identity matching, the transfer limit.
#include "download/pieces.h"

#include <gtest/gtest.h>

#include <cstring>

#include "drives/dispatch.h"
#include "support/emulated_run.h"
#include "support/fake_backend.h"

namespace {

TEST(Pieces, PlanCoversTheWholeLengthWithAShortLastPiece) {
    struct Case {
        uint32_t total, size;
        std::vector<Piece> plan;
    } cases[] = {
        {0, 2048, {}},
        {2048, 2048, {{0, 2048}}},
        {2049, 2048, {{0, 2048}, {2048, 1}}},
        {6000, 2048, {{0, 2048}, {2048, 2048}, {4096, 1904}}},
        {33793, 33792, {{0, 33792}, {33792, 1}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlanPieces(c.total, c.size), c.plan) << c.total;
        EXPECT_EQ(LargestPiece(c.plan), c.plan.empty() ? 0u : std::min(c.total, c.size));
    }
}

TEST(Pieces, GroupFieldsMatchOverTheGivenOrTheirOwnLength) {
    const ProgramEntry* multi = FindProgramEntry("LDMULTI");
    const ProgramEntry* ld4740 = FindProgramEntry("LD4740");
    struct Case {
        const ProgramEntry* group;
        const char* bytes;
        int32_t length;
        int field;
    } cases[] = {
        {ld4740, "HALVERONCD-RW  KR-4740P", 23, 0},   {ld4740, "HALVERONCD-RW  KR-4740 X", 23, 1},
        {ld4740, "HALVERONCD-RW  KR-4740P ", 24, -1},  // the zero after the text takes part
        {ld4740, "DATAEND                ", 23, 2},    // the closing field counts too
        {multi, "HALVERONTB-215          ", 0, 6},     // 14 characters of its own
        {multi, "HALVERONTB-215          ", 24, -1},  {multi, "HALVERONDVD-RAM VR-6910N", 0, 0},
        {ld4740, "HALVERONCD-RW  KR-4740P", 26, -1},  // longer than a field: never
    };
    for (const Case& c : cases) {
        uint8_t bytes[32] = {};
        std::memcpy(bytes, c.bytes, std::strlen(c.bytes));
        EXPECT_EQ(MatchGroupField(bytes, c.group->group, c.group->count, c.length), c.field)
            << c.bytes << " " << c.length;
    }
}

TEST(Pieces, IdentitySearchStopsShortOfTheEnd) {
    const ProgramEntry* e = FindProgramEntry("LD3410");
    const char text[] = "HALVERONCD-RW  KR-3410 ";  // field 1, 23 characters
    struct Case {
        uint32_t size, at, from;
        bool found;
    } cases[] = {
        {100, 50, 50, true}, {100, 49, 50, false}, {100, 76, 0, true},
        {100, 77, 0, false},  // i < end − 23: a text that ends at the last byte is not seen
        {23, 0, 0, false},   {10, 0, 0, false},    {0, 0, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image(std::max<uint32_t>(c.size, c.at + 23), 0);
        std::memcpy(image.data() + c.at, text, 23);
        IdentityHit hit;
        bool found = SearchGroupIdentity(image.data(), c.from, c.size, e->group, e->count, 23, hit);
        EXPECT_EQ(found, c.found) << c.size << " " << c.at;
        if (found) {
            EXPECT_EQ(hit.offset, c.at);
            EXPECT_EQ(hit.field, 1);
        }
    }
}

TEST(Pieces, ATransferLargerThanTheTransportTakesIsRefusedBeforeAnything) {
    // A transport that carries 1 KiB: the loader's 2 KiB pieces never start.
    TestEnv env;
    FakeBackend backend;
    backend.maxTransfer = 1024;
    backend.drives = {FakeBackend::Drive("HALVERONCD-RW  KR-4740P")};
    backend.drives[0].node = "/dev/sg7";
    SetBackends(&backend, &backend);
    SetProgramName("LD4740");
    std::string image = "HALVERONCD-RW  KR-4740P 0.10";
    image.resize(6000, 'x');
    std::string path = ::testing::TempDir() + "limit.bin";
    std::ofstream(path, std::ios::binary) << image;
    CDISCFLASHDlg dlg;
    dlg.m_strFirmwarePath = path;
    ASSERT_TRUE(dlg.OnInitDialog());
    size_t before = backend.commands.size();
    dlg.OnOK();
    EXPECT_EQ(backend.commands.size(), before);
    ASSERT_EQ(env.ui.messages.size(), 1u);
    EXPECT_EQ(env.ui.messages[0].text,
              "This download sends 65536 bytes in one command, but /dev/sg7 carries at most 1024 "
              "bytes in one command.\nNothing was sent to the drive.");
    EXPECT_EQ(dlg.LastOutcome(), Outcome::Failed);
    std::remove(path.c_str());
    FreeReadBackBuffer();
}

}  // namespace
