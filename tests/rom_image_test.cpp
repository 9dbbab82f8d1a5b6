// The CD-RW families that take a raw ROM image, end to end over emulated drives.
#include "download/rom_image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/emulated_run.h"

namespace {

using namespace expect;

const std::string kTagRead = "cf00000023fff80002000000 in 2", kPoll = "120000002000 in 32";

// The commands for a drive that reports field 1 of its group: the tag read (kind 2), the ready
// INQUIRY, 33,792-byte pieces with the last one (whatever its length) mode 5, one poll.
std::vector<std::string> Rom(uint8_t kind, uint32_t size) {
    std::vector<std::string> c;
    if (kind == 2) Add(c, kTagRead);
    Add(c, Inquiry());
    for (uint32_t o = 0, n; o < size; o += n) {
        n = std::min(33792u, size - o);
        Add(c, Write(o + n == size ? 5 : 2, 0, o, n));
    }
    Add(c, kPoll);
    return c;
}

TEST(RomImage, EveryKindDownloadsEndToEnd) {
    for (auto [id, kind] : {std::pair{"LD3410", 1}, {"LD3411", 2}, {"LD3520", 3}}) {
        for (uint32_t size : {33792u, 270001u, 1048576u}) {
            for (TransportChoice t : kBothTransports) {
                SCOPED_TRACE(std::string(id) + " " + std::to_string(size) + TransportName(t));
                EmulatedRun run;
                run.Of(id, ",tag=0000", t).image = EmulatedRun::Sample(id, size);
                run.Run();
                EXPECT_EQ(run.commands, Rom(static_cast<uint8_t>(kind), size));
                EXPECT_EQ(Boxes(run),
                          std::vector<std::string>{"HLV DOWNLOAD|none|Down Load complete"});
                EXPECT_EQ(run.outcome, Outcome::Succeeded);
                // Stored as sent, without a pad byte; the drive comes back as the new image says.
                EXPECT_EQ(run.emulated[0]->StoredFirmware(), run.image);
                EXPECT_EQ(run.emulated[0]->Identity(),
                          std::string(reinterpret_cast<char*>(&run.image[size / 2]), 24));
                EXPECT_EQ(run.ui().pos, 0);
                EXPECT_FALSE(run.ui().waitCursor);
            }
        }
    }
}

TEST(RomImage, PieceEdgesTagsAndTheFirstIdentity) {
    std::vector<std::string> first = {Inquiry(), Write(2, 0, 0, 33792), Write(5, 0, 33792, 6208)};
    struct Case {
        const char* what;
        const char* id;
        const char* keys;
        uint32_t size;
        std::vector<std::string> commands;
    } cases[] = {
        {"one piece", "LD3410", "", 33792, {Inquiry(), "3b050000000000840000 out 33792", kPoll}},
        {"one byte more",
         "LD3410",
         "",
         33793,
         {Inquiry(), "3b020000000000840000 out 33792", "3b050000840000000100 out 1", kPoll}},
        {"kind 2, first identity: no tag read, no poll", "LD3411",
         ",identity=HALVERONCD-RW  KR-3411P,tag=FFFF", 40000, first},
        {"kind 2, the tag of a long image", "LD3411", ",tag=1234", 270001, Rom(2, 270001)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedRun run;
        run.Of(c.id, c.keys).image = EmulatedRun::Sample(c.id, c.size);
        if (c.size > kRomTagOffset) std::memcpy(&run.image[kRomTagOffset], "\x12\x34", 2);
        run.Run();
        EXPECT_EQ(run.commands, c.commands);
        EXPECT_EQ(run.MessageTexts(), std::vector<std::string>{"Down Load complete"});
        EXPECT_EQ(run.emulated[0]->StoredFirmware(), run.image);
    }
}

TEST(RomImage, EveryFailureEndsAsItShould) {
    const std::string stop = "HLV DOWNLOAD|stop|", none = "HLV DOWNLOAD|none|";
    std::string noGood;  // ten polls, all NOT READY
    for (int n = 3; n <= 12; ++n) noGood += ",fail=12@" + std::to_string(n) + ":02/04/01";
    struct Row {
        const char* what;
        const char* id;
        std::string keys;
        int size;  // -1: the identity one byte before half the image
        std::vector<std::string> boxes;
        int commands, writes;
    } rows[] = {
        {"identity only in the first half", "LD3410", "", -1, {stop + "Invalid format"}, 0, 0},
        {"20 bytes", "LD3410", "", 20, {stop + "Invalid format"}, 0, 0},
        {"empty", "LD3520", "", 0, {stop + "Invalid format"}, 0, 0},
        {"longer than 1 MiB",
         "LD3520",
         "",
         1048577,
         {stop + "Invalid format\n(1048577 bytes: a ROM image holds at most 1048576 bytes)"},
         0,
         0},
        {"tag read fails",
         "LD3411",
         ",fail=CF:05/20/00",
         70000,
         {"LD3411|none|CF NG", stop + "Invalid format"},
         1,
         0},
        {"tag differs", "LD3411", ",tag=0001", 70000, {stop + "Invalid format"}, 1, 0},
        {"ready INQUIRY", "LD3410", ",fail=12@2:02/04/01", 70000, {stop + "Drive not ready"}, 1, 0},
        {"a piece", "LD3411", ",fail=3B@2:04/00/00", 70000, {none + "Down Load fault"}, 4, 2},
        {"identity never reported", "LD3520", noGood, 70000, {none + "Down Load NoGood"}, 14, 3},
    };
    for (const Row& row : rows) {
        for (TransportChoice t : kBothTransports) {
            SCOPED_TRACE(row.what + std::string(" ") + TransportName(t));
            EmulatedRun run;
            run.Of(row.id, row.keys, t).image = EmulatedRun::Sample(row.id, 70000);
            if (row.size < 0) std::memmove(&run.image[34999], &run.image[35000], 24);
            if (row.size >= 0) run.image.resize(static_cast<size_t>(row.size), 0x5A);
            run.Run();
            EXPECT_EQ(Boxes(run), row.boxes);
            EXPECT_EQ(run.outcome, Outcome::Failed);
            EXPECT_EQ(static_cast<int>(run.commands.size()), row.commands);
            EXPECT_EQ(run.emulated[0]->CountOf(0x3B), row.writes);
            // Settling time and ten polls, each followed by two to three seconds.
            if (row.keys == noGood) {
                EXPECT_NEAR(run.clock().ElapsedMs(), 30000 + 25500, 5500);
            }
        }
    }
}

TEST(RomImage, IdentityIsSearchedFromHalfTheImage) {
    const ProgramEntry* e = FindProgramEntry("LD3411");
    const std::string kr = e->group[1].text, end = e->group[e->count - 1].text;
    struct Case {
        uint32_t length, at;
        std::string text;
        bool found;
    } cases[] = {
        {1000, 500, kr, true},  {1001, 500, kr, true},  {1000, 499, kr, false},
        {1000, 976, kr, true},  {1000, 977, kr, false},  // the search ends one offset early
        {1000, 600, end, true},                          // the closing field counts
        {47, 23, kr, true},     {46, 23, kr, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image(c.length + 64, 0);  // room behind, never read
        std::memcpy(&image[c.at], c.text.data(), 23);
        uint32_t at = 0;
        EXPECT_EQ(FindRomIdentity(image.data(), c.length, e->group, e->count, 23, at), c.found)
            << c.length << " " << c.at;
        EXPECT_EQ(at, c.found ? c.at : 0);
    }
}

// The system time may be stepped while the poll waits (a clock synchronised in between).
struct SteppedClock : VirtualClock {
    int64_t step = 0;  // seconds added half a second into the wait
    uint64_t from = 0;
    int64_t CalendarSeconds() override {
        return VirtualClock::CalendarSeconds() + (ElapsedMs() >= from + 500 ? step : 0);
    }
};

TEST(RomImage, PollPauseLastsTwoToThreeSeconds) {
    // start: ms into the calendar second; each look at a virtual clock costs a millisecond.
    struct Case {
        uint32_t start;
        int64_t step;
        double waited;
    } cases[] = {{0, 0, 3000},   {1, 0, 2999},     {500, 0, 2500},
                 {999, 0, 3001}, {0, -3600, 3000}, {0, 3600, 2000}};
    for (const Case& c : cases) {
        TestEnv env;
        SteppedClock clock;
        rt().clock = &clock;
        clock.SleepMs(c.start);
        clock.step = c.step;
        clock.from = c.start;
        CDISCFLASHDlg().PumpMessagesForSeconds(2);
        EXPECT_NEAR(static_cast<double>(clock.ElapsedMs() - c.start), c.waited, 5) << c.step;
        EXPECT_GT(env.ui.pumps, 900);  // the window stays alive throughout
    }
}

}  // namespace
