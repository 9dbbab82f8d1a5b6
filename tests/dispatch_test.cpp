// DownLoad: the drive and kind it chooses, what it hands the procedure, and what outlives it.
#include <algorithm>
#include <string>
#include <vector>

#include "support/dialog_fixture.h"
#include "support/recording_priority.h"
#include "support/scratch_dir.h"
#include "system/history.h"

namespace {

// What a procedure found when it was called.
struct Seen {
    uint8_t kind = 0;
    int32_t settle = 0;
    const IdentityGroup* group = nullptr;
    int32_t count = 0;
    int32_t firstIdentity = -1, groupFirstMatch = -1, busy = 0;
    bool bufferZero = false, running = false, inhibited = false;
    std::string path, opened;
    int selected = -2;
};

class DispatchTest : public DialogFixture {
  protected:
    std::vector<Seen> seen;

    // Every kind runs a recording procedure; `then` runs after recording.
    void Record(std::function<void(CDISCFLASHDlg&)> then = nullptr) {
        SetProcedureHookForTests([this, then](CDISCFLASHDlg& d) {
            Seen s;
            s.kind = d.m_nKind;
            s.settle = settleSeconds;
            s.group = currentGroup;
            s.count = currentGroupCount;
            s.firstIdentity = d.m_bFirstIdentity;
            s.groupFirstMatch = d.m_bGroupFirstMatch;
            s.busy = d.m_bBusy;
            s.bufferZero =
                readBackBuffer && std::all_of(readBackBuffer, readBackBuffer + kReadBackBufferSize,
                                              [](uint8_t b) { return b == 0; });
            s.running = ProcedureRunning();
            s.inhibited = host.held;
            s.path = d.m_strFirmwarePath;
            const DriveRecord* open = transport().currentDrive;
            s.opened = open ? std::string(open->IdentityText(), 24) : "";
            s.selected = ui.selected;
            seen.push_back(s);
            if (then) then(d);
        });
    }

    void Start(const std::string& program, const std::vector<std::string>& drives,
               bool expectOk = true) {
        Program(program, drives);
        ASSERT_EQ(dlg.OnInitDialog(), expectOk);
        ui.selections.clear();
        ui.messages.clear();
    }
};

const IdentityGroup* GroupOf(const char* id) {
    return id ? FindProgramEntry(id)->group : nullptr;
}

TEST_F(DispatchTest, SelectedDriveOutsideGenericMode) {
    struct Case {
        const char* name;
        const char* program;
        std::vector<std::string> drives;
        int select;  // entry the user picks
        uint8_t kind;
        int firstIdentity;
    };
    const Case cases[] = {
        {"first identity", "LD3410", {"HALVERONCD-RW  KR-3410P "}, 0, 1, 1},
        {"other vendor", "LD3410", {"TORVIK  CD-RW  KR-3410  "}, 0, 1, 0},
        // The scan matched entry 0 on its first identity; the drive picked is another one.
        {"unrecognised drive", "LD3410", {"HALVERONCD-RW  KR-3410P ", "STRANGER"}, 1, 1, 0},
        {"kind of the identifier", "LD4631", {"HALVERONCD-RW  KR-4631 X"}, 0, 18, 0},
        // Compared over 24 bytes, so only the first field can match.
        {"multi first", "LDMULTI", {"HALVERONDVD-RAM VR-6910N"}, 0, 48, 1},
        {"multi short field", "LDMULTI", {"HALVERONDVD-RAM VR-6910 "}, 0, 48, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        Record();
        std::vector<std::string> drives;
        for (const std::string& d : c.drives) drives.push_back(Blanked(d.substr(0, 24)));
        Start(c.program, drives);
        ui.ListSelect(c.select);
        dlg.m_bGroupFirstMatch = 1;  // left by an earlier identification
        ui.answers = {IDYES};        // a drive of no family is programmed when the user says so
        dlg.OnOK();
        ASSERT_EQ(seen.size(), 1u);
        const Seen& s = seen[0];
        const ProgramEntry* e = FindProgramEntry(rt().programId.c_str());
        EXPECT_EQ(s.kind, c.kind);
        EXPECT_EQ(s.settle, e->settleSeconds);
        EXPECT_EQ(s.group, e->group);
        EXPECT_EQ(s.firstIdentity, c.firstIdentity);
        EXPECT_EQ(s.groupFirstMatch, 0);
        EXPECT_EQ(s.opened, drives[c.select]);
        EXPECT_EQ(s.selected, c.select);
        EXPECT_TRUE(s.path.empty());
    }
}

TEST_F(DispatchTest, GenericModeOrderA) {
    struct Case {
        std::string identity;
        const char* group;  // null: none matched
        uint8_t kind;
        int32_t settle;
        int first;
    };
    const Case cases[] = {
        {"HALVERONCD-RW  KR-3410P ", "LD3410", 1, 55, 1},
        {"PELLOWAYCD-RW  ZX3329E  ", "LD3411", 2, 10, 0},
        {"HALVERONCD-RW   KR-4630P", "LD4630", 16, 10, 1},
        {"HALVERONCD-RW  KR-4631 Z", "LD4631", 18, 30, 0},
        {"HALVERONCD-RW  KR-4740P ", "LD4740", 17, 120, 1},
        {"HALVERON LQ10A4 DOWNLOAD", "LD5850", 32, 10, 1},  // before LD5860
        {"HALVERON LQ11A5 DOWNLOAD", "LD5861", 35, 10, 1},  // before LD5851
        {"HALVERON LQ12A5 DOWNLOAD", "LD5862", 37, 10, 1},  // before LD5852
        {"HALVERONDVD-ROM VD-5851 ", "LD5851", 36, 10, 0},
        {"HALVERONDVD-ROM VD-5852 ", "LD5852", 38, 10, 0},
        {Blanked("HALVERONTB-215"), "LDMULTI", 48, 120, 0},
        {"HALVERONDVD-RAM QM-R512 ", "LDMULTI", 48, 120, 0},
        {Blanked("STRANGER"), nullptr, 38, 10, 0},  // the last group of the order stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identity);
        seen.clear();
        Record();
        Start("HLVDOWNLOAD", {c.identity});
        dlg.m_bFirstIdentity = 1;  // left by an earlier command
        ui.answers = {IDYES};      // a drive of no family is programmed when the user says so
        dlg.OnOK();
        ASSERT_EQ(seen.size(), 1u);
        const Seen& s = seen[0];
        EXPECT_EQ(s.kind, c.kind);
        EXPECT_EQ(s.settle, c.settle);
        EXPECT_EQ(s.group, GroupOf(c.group));
        EXPECT_EQ(s.count, c.group ? FindProgramEntry(c.group)->count : -1);
        EXPECT_EQ(s.firstIdentity, c.first);
        EXPECT_EQ(s.groupFirstMatch, c.first);
        EXPECT_EQ(s.opened, c.identity);
        // Identification outlives the command.
        EXPECT_EQ(dlg.m_nKind, c.kind);
        EXPECT_EQ(settleSeconds, c.settle);
    }
}

TEST_F(DispatchTest, CommandLineOrderB) {
    struct Case {
        const char* name;
        const char* program;
        std::vector<std::string> drives;
        bool scanFinds;
        int chosen;
        const char* group;
        uint8_t kind;
        int first;
    };
    const std::string x = Blanked("STRANGER"), vd5852 = "HALVERONDVD-ROM VD-5852 ",
                      kr3410 = "HALVERONCD-RW  KR-3410P ", kr4740 = "HALVERONCD-RW  KR-4740P ";
    const Case cases[] = {
        {"first drive of any group", "LD3410", {x, vd5852, kr3410}, true, 1, "LD5852", 38, 0},
        {"first identity", "LD3410", {x, kr4740}, false, 1, "LD4740", 17, 1},
        // The program's own kind (48) is in force while the first groups are tested.
        {"microcode family", "LDMULTI", {"HALVERONDVD-RAM QM-R500 "}, false, 0, "LDMULTI", 48, 0},
        {"generic mode too", "HLVDOWNLOAD", {"HALVERON LQ11A5 DOWNLOAD"}, true, 0, "LD5861", 35, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        Record();
        Start(c.program, c.drives, c.scanFinds);
        dlg.m_strFirmwarePath = "/tmp/fw.bin";
        ui.ListSelect(static_cast<int>(c.drives.size()) - 1);  // ignored
        ui.selections.clear();
        dlg.OnOK();
        ASSERT_EQ(seen.size(), 1u);
        const Seen& s = seen[0];
        EXPECT_EQ(s.opened, c.drives[c.chosen]);
        EXPECT_EQ(s.selected, c.chosen);
        std::vector<int> tested;
        for (int i = 0; i <= c.chosen; ++i) tested.push_back(i);
        EXPECT_EQ(ui.selections, tested);  // each entry selected as it is tested
        EXPECT_EQ(s.kind, c.kind);
        EXPECT_EQ(s.settle, FindProgramEntry(c.group)->settleSeconds);
        EXPECT_EQ(s.group, GroupOf(c.group));
        EXPECT_EQ(s.firstIdentity, c.first);
        EXPECT_EQ(s.groupFirstMatch, c.first);
        EXPECT_EQ(s.path, "/tmp/fw.bin");
        EXPECT_TRUE(dlg.m_strFirmwarePath.empty());
        EXPECT_EQ(ui.selected, c.chosen);
    }
}

TEST_F(DispatchTest, SecondDownLoadAfterCommandLineOne) {
    Record();
    Start("LD3410", {"HALVERONCD-RW  KR-4741P ", "HALVERONCD-RW  KR-3410P "});
    EXPECT_EQ(ui.selected, 1);
    dlg.m_strFirmwarePath = "fw.bin";
    dlg.OnOK();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, 19);
    EXPECT_EQ(seen[0].opened, "HALVERONCD-RW  KR-4741P ");
    EXPECT_EQ(seen[0].path, "fw.bin");

    // The selection again, with no file, under the group and kind the command line left: a drive
    // of another family, so only on Yes.
    ui.ListSelect(1);
    ui.answers = {IDYES};
    dlg.OnOK();
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("not of the LD4741 family"), std::string::npos);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].path, "");
    EXPECT_EQ(seen[1].opened, "HALVERONCD-RW  KR-3410P ");
    EXPECT_EQ(seen[1].kind, 19);
    EXPECT_EQ(seen[1].settle, 20);
    EXPECT_EQ(seen[1].group, GroupOf("LD4741"));
    EXPECT_EQ(seen[1].firstIdentity, 0);
}

TEST_F(DispatchTest, FailedCommandLineSearchLeavesKind255) {
    Record();
    Start("LD4740", {Blanked("STRANGER"), "HALVERONCD-RW  KR-4740P "});
    backend.drives[1] = FakeBackend::Drive("OTHER");
    driveTable[1] = backend.drives[1];  // the drive changed its answer since the scan
    dlg.m_strFirmwarePath = "fw.bin";
    int opens = backend.opens;
    dlg.OnOK();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(backend.opens, opens);
    EXPECT_EQ(dlg.m_nKind, 255);
    EXPECT_EQ(settleSeconds, 255);
    EXPECT_TRUE(dlg.m_strFirmwarePath.empty());
    EXPECT_EQ(ui.selections, (std::vector<int>{0, 1}));
    EXPECT_EQ(ui.selected, 1);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(dlg.LastOutcome(), Outcome::NothingDone);

    // Until Research, DownLoad runs with no kind (on a drive of no family: asked first).
    ui.answers = {IDYES};
    dlg.OnOK();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, 255);
    dlg.OnResearch();
    EXPECT_EQ(dlg.m_nKind, 17);
    EXPECT_EQ(settleSeconds, 120);
}

// A drive not of the family whose procedure would run is programmed only when the user says Yes
// to a question that names it and that family; No sends nothing and opens nothing.
TEST_F(DispatchTest, DriveNotOfTheFamilyIsProgrammedOnlyOnYes) {
    struct Case {
        const char* what;
        const char* program;
        std::vector<std::string> drives;
        int select;
        const char* asked;  // how the question names the drive; null: no question
        const char* family = nullptr;
    };
    const std::string kr3410 = "HALVERONCD-RW  KR-3410P ", vd5860 = "HALVERONDVD-ROM VD-5860 ";
    const std::string stranger = Blanked("STRANGER\x1B\\");
    const char* noFamily = "\"STRANGER\\x1B\\x5C              \" belongs to no known drive family";
    const Case cases[] = {
        {"generic mode", "HLVDOWNLOAD", {stranger}, 0, noFamily, "LD5852"},
        {"a member no field names", "HLVDOWNLOAD", {"HALVERONDVD-RAM QM-R512 "}, 0, nullptr},
        {"another maker's", "LD3410", {kr3410, stranger}, 1, noFamily, "LD3410"},
        {"another family's",
         "LD3410",
         {kr3410, "HALVERONCD-RW  KR-4740P "},
         1,
         "\"HALVERONCD-RW  KR-4740P \" is a drive of LD4740, not of the LD3410 family",
         "LD3410"},
        {"a DVD-ROM drive",
         "LD5860",
         {vd5860, "HALVERONDVD-ROM VD-5871 "},
         1,
         "\"HALVERONDVD-ROM VD-5871 \" is a drive of LD5871, not of the LD5860 family",
         "LD5860"},
        {"its loader", "LD5860", {vd5860, "HALVERON LQ10A4 DOWNLOAD"}, 1, nullptr},
        {"a member no field names, by name",
         "LDMULTI",
         {"HALVERONDVD-RAM VR-6910N", "HALVERONDVD-RAM QM-R512 "},
         1,
         nullptr},
    };
    for (const Case& c : cases) {
        for (int answer : {IDYES, IDNO}) {
            SCOPED_TRACE(std::string(c.what) + (answer == IDYES ? " yes" : " no"));
            seen.clear();
            Record([](CDISCFLASHDlg& d) { d.ReportOutcome(Outcome::Succeeded); });
            std::vector<std::string> drives;
            for (const std::string& d : c.drives) drives.push_back(Blanked(d));
            Start(c.program, drives);
            ui.ListSelect(c.select);
            ui.answers = {answer};
            const int opens = backend.opens;
            dlg.OnOK();
            const bool runs = !c.asked || answer == IDYES;
            EXPECT_EQ(seen.size(), runs ? 1u : 0u);
            EXPECT_EQ(backend.opens - opens, runs ? 1 : 0);
            EXPECT_EQ(backend.commands.size(), 0u);
            EXPECT_EQ(dlg.LastOutcome(), runs ? Outcome::Succeeded : Outcome::NothingDone);
            EXPECT_EQ(dlg.NothingDoneReason() != nullptr, !runs);
            if (!c.asked) {
                EXPECT_TRUE(ui.messages.empty());
                continue;
            }
            ASSERT_EQ(ui.messages.size(), 1u);
            EXPECT_EQ(ui.messages[0].text, "The drive " + std::string(c.asked) +
                                               ".\nDownLoad would program it as a drive of the " +
                                               c.family + " family.\nProgram it anyway?");
            EXPECT_EQ(ui.messages[0].caption, "HLV DOWNLOAD");
            EXPECT_EQ(ui.messages[0].type, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
        }
    }
}

// A download is recorded when it sent the drive a command, with the outcome its end and last box
// make; a history that cannot be written changes nothing but a note.
TEST_F(DispatchTest, DownloadsThatSentACommandAreRecorded) {
    struct Case {
        bool sends;
        Outcome outcome;
        const char* box;
        const char* recorded;  // null: no record
        bool writable = true;
    } cases[] = {
        {false, Outcome::Failed, "File not found", nullptr},
        {true, Outcome::Succeeded, "Down Load complete", kHistoryComplete},
        {true, Outcome::Failed, "Down Load NoGood", kHistoryNoGood},
        {true, Outcome::NothingDone, "Please eject the disc and try again..", kHistoryCancelled},
        {true, Outcome::Succeeded, "Down Load complete", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box + std::string(c.writable ? "" : " unwritable"));
        ScratchDir dir;
        const std::string path =
            c.writable ? (dir.path / "history.jsonl").string() : "/dev/null/history.jsonl";
        VirtualClock clock;
        History history(path, clock, false, false);
        rt().history = &history;
        Record([&c](CDISCFLASHDlg& d) {
            if (c.sends) TestUnitReady();
            ShowMessage(c.box);
            d.ReportOutcome(c.outcome);
        });
        Start("LD4740", {"HALVERONCD-RW  KR-4740 "});
        ui.notes.clear();
        dlg.OnOK();
        rt().history = nullptr;
        EXPECT_EQ(dlg.LastOutcome(), c.outcome);
        std::vector<DownloadRecord> records;
        size_t skipped = 0;
        std::string why;
        ReadHistory(path, clock, records, skipped, why);
        ASSERT_EQ(records.size(), c.recorded ? 1u : 0u);
        EXPECT_EQ(ui.notes.size(), c.sends && !c.writable ? 1u : 0u);
        if (!c.recorded) continue;
        EXPECT_EQ(records[0].outcome, c.recorded);
        EXPECT_EQ(records[0].message, c.box);
    }
}

TEST_F(DispatchTest, KindWithoutProcedureOpensAndCloses) {
    Start("LD4740", {"HALVERONCD-RW  KR-4740P "});
    dlg.m_nKind = 255;  // as a command-line DownLoad that found no drive leaves it
    int opens = backend.opens, closes = backend.closes;
    dlg.ReportOutcome(Outcome::Succeeded);
    dlg.OnOK();
    EXPECT_EQ(backend.opens, opens + 1);
    EXPECT_GT(backend.closes, closes);
    EXPECT_EQ(dlg.LastOutcome(), Outcome::NothingDone);
    EXPECT_EQ(host.inhibits, 0);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_NE(readBackBuffer, nullptr);  // the command reached the allocation
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(DispatchTest, NoSelectionDoesNothing) {
    Record();
    for (bool drive : {false, true}) {
        SCOPED_TRACE(drive ? "drive left unselected" : "no drives");
        Start(drive ? "LD3410" : "HLVDOWNLOAD",
              drive ? std::vector<std::string>{"HALVERONCD-RW  KR-3410P "}
                    : std::vector<std::string>{});
        ui.ListSelect(-1);
        dlg.ReportOutcome(Outcome::Failed);
        dlg.OnOK();
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(backend.opens, 0);
        EXPECT_EQ(readBackBuffer, nullptr);
        EXPECT_EQ(dlg.LastOutcome(), Outcome::NothingDone);
    }
}

TEST_F(DispatchTest, FreshZeroFilledBufferEachCommand) {
    Record([](CDISCFLASHDlg& d) {
        std::fill(readBackBuffer, readBackBuffer + kReadBackBufferSize, 0xA5);
        d.ReportOutcome(Outcome::Succeeded);
    });
    Start("LD3410", {"HALVERONCD-RW  KR-3410P "});
    for (int i = 0; i < 3; ++i) dlg.OnOK();
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& s : seen) {
        EXPECT_TRUE(s.bufferZero);
        EXPECT_EQ(s.busy, 1);
        EXPECT_TRUE(s.running);
        EXPECT_TRUE(s.inhibited);
    }
    EXPECT_EQ(host.lastReason, "Firmware download in progress");
    EXPECT_EQ(host.inhibits, 3);
    EXPECT_EQ(host.releases, 3);
    EXPECT_FALSE(host.held);
    EXPECT_FALSE(ProcedureRunning());
    EXPECT_EQ(dlg.LastOutcome(), Outcome::Succeeded);
    // The last block stays until Exit.
    ASSERT_NE(readBackBuffer, nullptr);
    EXPECT_EQ(readBackBuffer[kReadBackBufferSize - 1], 0xA5);
    dlg.OnCancel();
    EXPECT_EQ(readBackBuffer, nullptr);
    EXPECT_EQ(ui.quitCode, 0);
}

TEST_F(DispatchTest, MemoryNotAllocated) {
    Record();
    Start("LD3410", {"HALVERONCD-RW  KR-3410P "});
    FailReadBackAllocationForTests(true);
    dlg.m_strFirmwarePath = "fw.bin";
    int closes = backend.closes;
    Note("an earlier command's");  // explains nothing of this one
    dlg.OnOK();
    EXPECT_TRUE(seen.empty());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Memory not allocated");
    EXPECT_EQ(ui.messages[0].detail, "");
    EXPECT_EQ(ui.messages[0].caption, "HLV DOWNLOAD");
    EXPECT_EQ(ui.messages[0].type, MB_OK | MB_ICONHAND);
    EXPECT_EQ(backend.closes, closes + 2);  // before opening, and at the end
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_TRUE(dlg.m_strFirmwarePath.empty());
    EXPECT_EQ(dlg.LastOutcome(), Outcome::Failed);
    EXPECT_EQ(host.inhibits, 0);
}

// Every command pressed while a procedure runs (dispatched by its event pump) is dropped.
TEST_F(DispatchTest, PressWhileBusyIsDropped) {
    int innerOpens = -1, innerCloses = -1;
    size_t innerList = 0;
    host.restartResult = 1;
    Record([&](CDISCFLASHDlg& d) {
        d.ReportOutcome(Outcome::Succeeded);
        int opens = backend.opens, closes = backend.closes;
        backend.drives.clear();  // a Research that ran would empty the list
        d.OnOK();
        d.OnResearch();
        d.OnReBoot();
        d.OnCancel();
        innerOpens = backend.opens - opens;
        innerCloses = backend.closes - closes;
        innerList = ui.list.size();
    });
    Start("LD3410", {"HALVERONCD-RW  KR-3410P "});
    dlg.OnOK();
    EXPECT_EQ(innerOpens, 0);
    EXPECT_EQ(innerCloses, 0);
    EXPECT_EQ(innerList, 1u);
    EXPECT_EQ(host.restarts, 0);
    EXPECT_EQ(ui.quitCode, -1);
    EXPECT_FALSE(dlg.IsClosed());
    EXPECT_EQ(dlg.LastOutcome(), Outcome::Succeeded);  // untouched by the dropped press
    // Not queued: nothing runs after the command.
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(dlg.m_bBusy, 0);
}

TEST_F(DispatchTest, ProcedureMayEndTheProgram) {
    Record([](CDISCFLASHDlg& d) {
        d.m_bBusy = 0;
        d.OnCancel();
        d.ReportOutcome(Outcome::Failed);
    });
    rt().transport = TransportChoice::Sg;
    Start("LD4740", {"HALVERONCD-RW  KR-4740P "});
    int closes = backend.closes;
    dlg.OnOK();
    EXPECT_TRUE(dlg.IsClosed());
    EXPECT_EQ(ui.quitCode, 0);
    EXPECT_EQ(readBackBuffer, nullptr);
    // Exit closed the drive and released the transport; nothing is closed after it.
    EXPECT_EQ(backend.closes, closes + 2);
    EXPECT_EQ(backend.unloads, 1);
    EXPECT_FALSE(ProcedureRunning());
    EXPECT_FALSE(host.held);
    EXPECT_EQ(dlg.LastOutcome(), Outcome::Failed);
}

TEST_F(DispatchTest, TheThreadIsLoweredOnceForTheWholeProcedure) {
    RecordingPriority priority;
    rt().priority = &priority;
    std::vector<std::string> during;
    Record([&](CDISCFLASHDlg&) {
        for (int i = 0; i < 3; ++i) TestUnitReady();
        during = priority.calls;
    });
    Start("LD3410", {"HALVERONCD-RW  KR-3410P "});
    const size_t sent = backend.commands.size();
    dlg.OnOK();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(backend.commands.size(), sent + 3);
    EXPECT_EQ(during, std::vector<std::string>{"lowest"});
    EXPECT_EQ(priority.calls, (std::vector<std::string>{"lowest", "normal"}));
}

TEST_F(DispatchTest, NoHostStillRuns) {
    rt().host = nullptr;
    Record();
    Start("LD3410", {"HALVERONCD-RW  KR-3410P "});
    dlg.OnOK();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].running);
    EXPECT_FALSE(ProcedureRunning());
}

}  // namespace

TEST_F(DispatchTest, MissingRightsAreSaidBeforeAnythingIsSent) {
    for (TransportChoice t : {TransportChoice::Sr, TransportChoice::Sg}) {
        SCOPED_TRACE(t == TransportChoice::Sr ? "sr" : "sg");
        rt().transport = t;
        seen.clear();
        Record();
        Start("LD4740", {"HALVERONCD-RW  KR-4740P "});
        backend.mayAll = false;
        size_t sent = backend.commands.size();
        dlg.OnOK();
        EXPECT_TRUE(seen.empty());  // the procedure never ran
        EXPECT_EQ(backend.commands.size(), sent);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text, "not allowed");
        EXPECT_EQ(ui.messages[0].caption, "HLV DOWNLOAD");
        EXPECT_EQ(ui.messages[0].type, MB_OK | MB_ICONHAND);
        EXPECT_EQ(dlg.LastOutcome(), Outcome::Failed);
        EXPECT_EQ(dlg.m_bBusy, 0);
        EXPECT_GT(backend.closes, 0);
    }
}
