// The CD-RW families that take a raw ROM image, end to end over emulated drives.
#include "download/rom_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/emulated_run.h"

namespace {

using namespace expect;

const std::string kRomTagRead = "cf00000023fff80002000000 in 2";
const std::string kPoll = "120000002000 in 32";
constexpr uint32_t P = 33792;

// Mode 2 pieces of 33,792 bytes, the last one (whatever its length) mode 5.
std::vector<std::string> Pieces(uint32_t size) {
    std::vector<std::string> c;
    for (uint32_t o = 0; o < size; o += P) {
        uint32_t n = std::min(P, size - o);
        Add(c, Write(o + n == size ? 5 : 2, 0, o, n));
    }
    return c;
}

// A drive that reports field 1 of its group: the tag check (kind 2) and the identity poll.
std::vector<std::string> RomDownload(uint8_t kind, uint32_t size) {
    std::vector<std::string> c;
    if (kind == 2) Add(c, kRomTagRead);
    Add(c, Inquiry());
    Add(c, Pieces(size));
    Add(c, kPoll);
    return c;
}

// The 24 bytes from half the image on, where the sample images carry their identity.
std::string IdentityIn(const std::vector<uint8_t>& image) {
    return std::string(reinterpret_cast<const char*>(image.data()) + image.size() / 2, 24);
}

TEST(RomImage, EveryKindDownloadsEndToEnd) {
    const std::pair<const char*, uint8_t> kinds[] = {{"LD3410", 1}, {"LD3411", 2}, {"LD3520", 3}};
    for (auto [id, kind] : kinds) {
        for (uint32_t size : {33792u, 270001u, 1048576u}) {
            for (TransportChoice t : kBothTransports) {
                SCOPED_TRACE(std::string(id) + " " + std::to_string(size) + " " + TransportName(t));
                EmulatedRun run;
                run.Of(id, ",tag=0000", t).image = EmulatedRun::Sample(id, size);
                run.Run();
                EXPECT_EQ(run.commands, RomDownload(kind, size));
                EXPECT_EQ(Boxes(run),
                          std::vector<std::string>{"HLV DOWNLOAD|none|Down Load complete"});
                EXPECT_EQ(run.outcome, Outcome::Succeeded);
                // Stored as sent, without a pad byte; the drive comes back as the new image.
                EXPECT_EQ(run.emulated[0]->StoredFirmware(), run.image);
                EXPECT_EQ(run.emulated[0]->Identity(), IdentityIn(run.image));
                EXPECT_EQ(run.ui().pos, 0);
                EXPECT_FALSE(run.ui().waitCursor);
                uint32_t settle = FindProgramEntry(id)->settleSeconds;
                EXPECT_GE(run.clock().ElapsedMs(), 1000u * settle);
            }
        }
    }
}

struct EdgeCase {
    const char* what;
    const char* id;
    const char* keys;
    uint32_t size;
    void (*edit)(std::vector<uint8_t>&);
    std::vector<std::string> commands;
    uint64_t minMs, maxMs;  // the download's virtual time, settling wait included
};

void NoEdit(std::vector<uint8_t>&) {}
// Another name of the drive's group, at half the image: the drive comes back under it.
void OtherVendor(std::vector<uint8_t>& image) {
    std::memcpy(image.data() + image.size() / 2, "PELLOWAYCD-RW  ZX3329E  ", 24);
}
void Tagged(std::vector<uint8_t>& image) {
    image[kRomTagOffset] = 0x12;
    image[kRomTagOffset + 1] = 0x34;
}

TEST(RomImage, PieceEdgesTagsAndIdentities) {
    const std::string polls2 = ",fail=12@3:02/04/01,fail=12@4:02/04/01";
    const EdgeCase cases[] = {
        {"exactly one piece is one mode-5 command",
         "LD3410",
         "",
         33792,
         NoEdit,
         {Inquiry(), "3b050000000000840000 out 33792", kPoll},
         55000,
         56000},
        {"one byte more is a mode-2 piece and a 1-byte mode-5 piece",
         "LD3410",
         "",
         33793,
         NoEdit,
         {Inquiry(), "3b020000000000840000 out 33792", "3b050000840000000100 out 1", kPoll},
         55000,
         56000},
        {"kind 2 drive under its first identity: no tag read, no poll",
         "LD3411",
         ",identity=HALVERONCD-RW  KR-3411P,tag=FFFF",
         100000,
         NoEdit,
         {Inquiry(), Write(2, 0, 0, P), Write(2, 0, P, P), Write(5, 0, 2 * P, 100000 - 2 * P)},
         10000,
         11000},
        {"kind 2 tag at 0x3FFF8 of a long image", "LD3411", ",tag=1234", 270001, Tagged,
         RomDownload(2, 270001), 10000, 11000},
        {"another name of the group", "LD3411", "", 5000, OtherVendor, RomDownload(2, 5000), 10000,
         11000},
        {"slow to come back: two more polls, two to three seconds apart",
         "LD3520",
         polls2.c_str(),
         5000,
         NoEdit,
         {Inquiry(), Write(5, 0, 0, 5000), kPoll, kPoll, kPoll},
         34000,
         37000},
    };
    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedRun run;
        run.Of(c.id, c.keys).image = EmulatedRun::Sample(c.id, c.size);
        c.edit(run.image);
        run.Run();
        EXPECT_EQ(run.commands, c.commands);
        EXPECT_EQ(run.MessageTexts(), std::vector<std::string>{"Down Load complete"});
        EXPECT_EQ(run.outcome, Outcome::Succeeded);
        EXPECT_EQ(run.emulated[0]->StoredFirmware(), run.image);
        EXPECT_GE(run.clock().ElapsedMs(), c.minMs);
        EXPECT_LT(run.clock().ElapsedMs(), c.maxMs);
    }
}

// ---- failures ----------------------------------------------------------------------------------

enum class Img { Good, FirstHalfOnly, Bytes20, Empty, TooLong };

struct FailureRow {
    const char* what;
    const char* id;
    const char* keys;
    Img image;
    std::vector<std::string> boxes;  // caption | icon | text, in order
    int commands;                    // commands DownLoad sent
    int writes;                      // WRITE BUFFER commands among them
};

TEST(RomImage, EveryFailureEndsAsItShould) {
    const std::string stop = "HLV DOWNLOAD|stop|";
    std::string noGood;
    for (int n = 3; n <= 12; ++n) noGood += ",fail=12@" + std::to_string(n) + ":02/04/01";
    const FailureRow rows[] = {
        {"identity only in the first half",
         "LD3410",
         "",
         Img::FirstHalfOnly,
         {stop + "Invalid format"},
         0,
         0},
        {"20 bytes", "LD3410", "", Img::Bytes20, {stop + "Invalid format"}, 0, 0},
        {"empty file", "LD3520", "", Img::Empty, {stop + "Invalid format"}, 0, 0},
        {"longer than 1 MiB",
         "LD3520",
         "",
         Img::TooLong,
         {stop + "Invalid format\n(1048577 bytes: a ROM image holds at most 1048576 bytes)"},
         0,
         0},
        {"kind 2 tag command fails",
         "LD3411",
         ",fail=CF:05/20/00",
         Img::Good,
         {"LD3411|none|CF NG", stop + "Invalid format"},
         1,
         0},
        {"kind 2 tag differs", "LD3411", ",tag=0001", Img::Good, {stop + "Invalid format"}, 1, 0},
        {"ready INQUIRY",
         "LD3410",
         ",fail=12@2:02/04/01",
         Img::Good,
         {stop + "Drive not ready"},
         1,
         0},
        {"a piece",
         "LD3411",
         ",fail=3B@2:04/00/00",
         Img::Good,
         {"HLV DOWNLOAD|none|Down Load fault"},
         4,
         2},
        {"the drive never reports the image identity",
         "LD3520",
         noGood.c_str(),
         Img::Good,
         {"HLV DOWNLOAD|none|Down Load NoGood"},
         14,
         3},
    };
    for (const FailureRow& row : rows) {
        for (TransportChoice t : kBothTransports) {
            SCOPED_TRACE(std::string(row.what) + " " + TransportName(t));
            EmulatedRun run;
            run.Of(row.id, row.keys, t).image = EmulatedRun::Sample(row.id, 70000);
            if (row.image == Img::FirstHalfOnly)
                std::memmove(&run.image[34999], &run.image[35000], 24);
            if (row.image == Img::Bytes20) run.image.resize(20);
            if (row.image == Img::Empty) run.image.clear();
            if (row.image == Img::TooLong) run.image.resize(1048577, 0x5A);
            run.Run();
            EXPECT_EQ(Boxes(run), row.boxes);
            EXPECT_EQ(run.outcome, Outcome::Failed);
            EXPECT_EQ(static_cast<int>(run.commands.size()), row.commands);
            EXPECT_EQ(run.emulated[0]->CountOf(0x3B), row.writes);
            EXPECT_FALSE(run.ui().waitCursor);
        }
    }
    // Ten polls, each followed by a pause of two to three seconds.
    EmulatedRun run;
    run.Of("LD3520", noGood).image = EmulatedRun::Sample("LD3520", 70000);
    run.Run();
    EXPECT_EQ(run.emulated[0]->CountOf(0x12), 12);
    EXPECT_GE(run.clock().ElapsedMs(), 30000u + 20000u);
    EXPECT_LT(run.clock().ElapsedMs(), 30000u + 31000u);
}

// ---- pure pieces -----------------------------------------------------------------------------

TEST(RomImage, IdentityIsSearchedFromHalfTheImage) {
    // HALVERONCD-RW  KR-3411P, HALVERONCD-RW  KR-3411 , ..., MVR     T470, DATAEND
    const IdentityGroup* group = FindProgramEntry("LD3411")->group;
    const int32_t count = FindProgramEntry("LD3411")->count;
    const std::string kr = group[1].text, mvr = group[4].text, end = group[5].text;
    struct Case {
        const char* what;
        uint32_t length;
        uint32_t at;  // where the text is put
        std::string text;
        bool found;
        uint32_t offset;
    } cases[] = {
        {"at half", 1000, 500, kr, true, 500},
        {"one before half", 1000, 499, kr, false, 0},
        {"odd length: half rounds down", 1001, 500, kr, true, 500},
        {"last offset the bound allows", 1000, 976, kr, true, 976},
        {"ending at the last byte", 1000, 977, kr, false, 0},
        {"a later field of the group", 1000, 700, mvr, true, 700},
        {"the closing field counts too", 1000, 600, end, true, 600},
        {"47 bytes: one offset", 47, 23, kr, true, 23},
        {"46 bytes: no offset", 46, 23, kr, false, 0},
        {"23 bytes", 23, 0, kr, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image(c.length + 64, 0);  // room behind, never read
        std::memcpy(image.data() + c.at, c.text.data(), std::min<size_t>(23, c.length - c.at));
        uint32_t offset = 0;
        EXPECT_EQ(FindRomIdentity(image.data(), c.length, group, count, 23, offset), c.found);
        if (c.found) {
            EXPECT_EQ(offset, c.offset);
        }
    }
}

// The system time may be stepped while the poll waits (a clock synchronised in between).
class SteppedClock : public VirtualClock {
  public:
    int64_t step = 0;  // seconds added from the first half second of the wait on
    int64_t CalendarSeconds() override {
        int64_t s = VirtualClock::CalendarSeconds();
        return ElapsedMs() >= since_ + 500 ? s + step : s;
    }
    void Mark() { since_ = ElapsedMs(); }

  private:
    uint64_t since_ = 0;
};

TEST(RomImage, PollPauseLastsTwoToThreeSeconds) {
    // Each look at a virtual clock costs a millisecond: the waits are exact to a few.
    struct Case {
        const char* what;
        uint32_t start;  // ms into the calendar second when the wait starts
        int64_t step;
        double waited;
    } cases[] = {
        {"at a whole second", 0, 0, 3000},
        {"just after one", 1, 0, 2999},
        {"half a second in", 500, 0, 2500},
        {"just before the next", 999, 0, 3001},
        {"time stepped back an hour: no longer than three seconds", 0, -3600, 3000},
        {"time stepped forward an hour: no shorter than two", 0, 3600, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestEnv env;
        SteppedClock clock;
        rt().clock = &clock;
        clock.SleepMs(c.start);
        clock.step = c.step;
        clock.Mark();
        CDISCFLASHDlg dlg;
        dlg.PumpMessagesForSeconds(2);
        EXPECT_NEAR(static_cast<double>(clock.ElapsedMs() - c.start), c.waited, 5);
        EXPECT_GT(env.ui.pumps, 900);  // it keeps the window alive throughout
    }
}

}  // namespace
