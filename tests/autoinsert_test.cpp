// Media polling control of the dual mode: which drives count, the question, the switch-off and
// the restart that follows it, and --restore-polling's undoing, over fake host settings.
#include "system/autoinsert.h"

#include <cstring>
#include <string>
#include <vector>

#include "support/dialog_fixture.h"
#include "system/udev_rule.h"

namespace {

const std::string kCaption = "自動挿入がONです";
const std::string kQuestion = "自動挿入をOFFにしますか?\n自動挿入OFF後はWindowsの再起動を行います";
const std::string kStillOn = "自動挿入がONのまま\nDownLoadを実行しないでください";

constexpr long kUnreadable = -99;  // no events_poll_msecs to read
constexpr long kNoBlock = -98;     // the drive has no block device

const char* const k3520 = "HALVERONCD-RW  KR-3520 ";
const char* const k5871 = "HALVERONDVD-ROM VD-5871 ";
const char* const kOther = "HALVERONCD-RW  KR-4740 ";

struct TestDrive {
    const char* identity;
    long interval;  // events_poll_msecs, or kUnreadable / kNoBlock
};

class AutoInsertTest : public DialogFixture {
  protected:
    FakeHostSettings settings;

    void SetUp() override {
        DialogFixture::SetUp();
        rt().hostSettings = &settings;
        rt().transport = TransportChoice::Sg;
        SetProgramName("DUALDOWNLOAD");
    }

    // Drive i sits at 0:0:i:0 with block device "sr<i>".
    void Drives(const std::vector<TestDrive>& drives) {
        backend.drives.clear();
        for (size_t i = 0; i < drives.size(); ++i) {
            DriveRecord d = FakeBackend::Drive(drives[i].identity);
            d.host = 0;
            d.channel = 0;
            d.target = static_cast<int>(i);
            d.lunNumber = 0;
            backend.drives.push_back(d);
            std::string block = "sr" + std::to_string(i);
            if (drives[i].interval == kNoBlock) continue;
            settings.blocks[{0, 0, static_cast<int>(i), 0}] = block;
            if (drives[i].interval != kUnreadable) settings.intervals[block] = drives[i].interval;
        }
    }
};

TEST_F(AutoInsertTest, PollingStateOfOneDrive) {
    struct Row {
        long interval;
        long defaultInterval;
        bool defaultReadable;
        int on;
    };
    const Row rows[] = {
        {2000, 0, true, 1},        {0, 2000, true, 0},   {-1, 2000, true, 1},
        {-1, 0, true, 0},          {-1, 2000, false, 0}, {kUnreadable, 2000, true, 0},
        {kNoBlock, 2000, true, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.interval);
        settings = FakeHostSettings{};
        settings.defaultInterval = r.defaultInterval;
        settings.defaultReadable = r.defaultReadable;
        Drives({{k3520, r.interval}});
        ASSERT_EQ(EnumerateDrives(kDriveTableCapacity, driveTable), 1);
        EXPECT_EQ(IsAutoInsertOn(driveTable[0]), r.on);
    }
}

TEST_F(AutoInsertTest, AffectedModelsAreFoundFromTheProductOn) {
    struct Row {
        const char* identity;
        const char* revision;  // and vendor-specific bytes after it, up to byte 55
        bool affected;
    };
    const Row rows[] = {
        {k3520, "1.00", true},
        {k5871, "1.00", true},
        {kOther, "1.00", false},
        {"3520XXXXCD-RW  KR-4740 ", "1.00", false},  // in the vendor: not looked at
        {kOther, "5871", true},                      // the revision is part of the text
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.identity);
        EXPECT_EQ(IsAffectedModel(FakeBackend::Drive(r.identity, r.revision)), r.affected);
    }
    DriveRecord tail = FakeBackend::Drive(kOther);
    std::memset(tail.inquiry + 36, ' ', 16);
    std::memcpy(tail.inquiry + 52, "3520", 4);  // the last four of the 40 characters
    EXPECT_TRUE(IsAffectedModel(tail));
    tail.inquiry[40] = 0;  // the text ends at a zero byte
    EXPECT_FALSE(IsAffectedModel(tail));
}

// The whole dialogue at start-up, from the drives found to the restart.
TEST_F(AutoInsertTest, StartUpAsksOnceSwitchesEveryAffectedDriveAndRestarts) {
    const std::string cause = "helper not installed: /usr/libexec/discflash/media-polling";
    const std::string stop =
        "Media polling could not be switched off:\n" + cause + "\n\nNo restart was requested.";
    struct Row {
        const char* name;
        std::vector<TestDrive> drives;
        int answer;
        std::string refusal;
        bool goesOn;
        std::vector<std::string> texts;  // the boxes, in order
        unsigned lastType;
        std::vector<std::string> switchedOff;
        size_t models;
        int restarts;
    };
    const Row rows[] = {
        {"no affected drive", {{kOther, 2000}}, IDYES, "", true, {}, 0, {}, 0, 0},
        {"affected, not polled", {{k3520, 0}, {k5871, kNoBlock}}, IDYES, "", true, {}, 0, {}, 0, 0},
        {"declined", {{k3520, 2000}}, IDNO, "", true, {kQuestion, kStillOn}, MB_OK, {}, 0, 0},
        {"agreed",
         {{kOther, 2000}, {k3520, 0}, {k5871, -1}, {k3520, 2000}, {k5871, kNoBlock}},
         IDYES,
         "",
         false,
         {kQuestion},
         MB_YESNO,
         {"sr1", "sr2", "sr3"},
         2,
         1},
        {"switch-off refused",  // the drive's text as printable ASCII
         {{"HALVER\x1bNCD-RW  KR-3520 ", 2000}, {k5871, 2000}},
         IDYES,
         cause,
         false,
         {kQuestion, stop},
         MB_OK | MB_ICONHAND,
         {},
         0,
         0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        settings = FakeHostSettings{};
        settings.refusal = r.refusal;
        Drives(r.drives);
        ui.messages.clear();
        ui.answers = {r.answer};
        host.restarts = 0;
        CDISCFLASHDlg d;
        // The window pumps while the helper waits for a password: no command may run then.
        int busyWhileChanging = -1;
        settings.whileChanging = [&] { busyWhileChanging = d.m_bBusy; };
        EXPECT_EQ(d.OnInitDialog(), r.goesOn);
        EXPECT_EQ(busyWhileChanging, settings.changes ? 1 : -1);
        EXPECT_EQ(d.m_bBusy, 0);
        EXPECT_EQ(ui.MessageTexts(), r.texts);
        for (const ShownMessage& m : ui.messages) EXPECT_EQ(m.caption, kCaption);
        if (!ui.messages.empty()) {
            EXPECT_EQ(ui.messages.front().type, MB_YESNO);
            EXPECT_EQ(ui.messages.back().type, r.lastType);
        }
        // One change for all drives: a helper run asks for authentication once.
        EXPECT_EQ(settings.changes, r.answer == IDYES && !r.goesOn ? 1 : 0);
        EXPECT_EQ(settings.switchedOff, r.switchedOff);
        EXPECT_EQ(settings.models.size(), r.models);
        EXPECT_EQ(host.restarts, r.restarts);
        // Going on, the drives are listed; stopping, the list stays empty.
        EXPECT_EQ(ui.list.size(), r.goesOn ? r.drives.size() : 0u);
    }
}

// --restore-polling: every listed drive of the two models, whatever its polling, and nothing is
// asked; a refused change or an unlisted transport is a failure with its cause.
TEST_F(AutoInsertTest, RestoreSetsEveryAffectedDriveBackWithoutAsking) {
    struct Row {
        const char* name;
        std::vector<TestDrive> drives;
        int load;  // the transport's set-up
        std::string refusal;
        bool done;
        std::vector<std::string> restored;
        const char* why;
    };
    const Row rows[] = {
        {"every affected drive",
         {{kOther, 2000}, {k3520, 0}, {k5871, 2000}, {k3520, kNoBlock}},
         1,
         "",
         true,
         {"sr1", "sr2"},
         ""},
        {"refused", {{k3520, 0}}, 1, "the authentication was dismissed", false, {}, "dismissed"},
        {"no transport", {{k3520, 0}}, 0, "", false, {}, "could not be listed"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        settings = FakeHostSettings{};
        settings.refusal = r.refusal;
        Drives(r.drives);
        backend.loadResult = r.load;
        ui.messages.clear();
        std::vector<std::string> blocks;
        std::string why;
        EXPECT_EQ(RestoreAutoInsert(blocks, why), r.done);
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
        EXPECT_EQ(settings.changes, 1);  // the rule goes even with no drive listed
        EXPECT_EQ(settings.restored, r.restored);
        EXPECT_TRUE(ui.messages.empty());
    }
}

TEST(NoMediaPollRule, MatchesTheSysfsTextsAndCannotBeSubverted) {
    struct Row {
        std::string identity;  // INQUIRY bytes 8 to 31
        const char* vendor;
        const char* model;
    };
    const Row rows[] = {
        {"HALVERONCD-RW  KR-3520 ", "HALVERON", "CD-RW  KR-3520  "},
        {"TORVIK  CD-RW  KR-3410 ", "TORVIK  ", "CD-RW  KR-3410  "},
        {std::string("HALVERONCD\0RW  KR-3520 ", 23), "HALVERON", "CD              "},
        {"HALVE\tONCD-RW\x7F KR-3520 ", "HALVE ON", "CD-RW  KR-3520  "},
        {"\"*?[]|$%CD\\RW\", RUN+=\"x", "????????", "CD?RW?, RUN+=?x "},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.vendor);
        uint8_t inquiry[56] = {5};
        std::memset(inquiry + 8, ' ', 24);
        std::memcpy(inquiry + 8, r.identity.data(), r.identity.size());
        SysfsModel texts = SysfsModelOf(inquiry);
        EXPECT_TRUE(IsSysfsModel(texts));
        EXPECT_EQ(NoMediaPollRule(texts),
                  std::string("SUBSYSTEM==\"block\", ACTION!=\"remove\", ATTRS{vendor}==\"") +
                      r.vendor + "\", ATTRS{model}==\"" + r.model +
                      "\", ATTR{events_poll_msecs}=\"0\", ENV{UDISKS_AUTO}=\"0\"");
    }
}

}  // namespace
