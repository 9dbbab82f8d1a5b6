// Catalogue, program identifier, drive scan, MatchGroup and the dialog commands other than
// DownLoad.
#include <cstring>
#include <string>
#include <vector>

#include "drives/catalogue.h"
#include "support/dialog_fixture.h"

namespace {

std::string FieldText(const IdentityField& f) {
    return std::string(f.text, FieldLength(f));
}

// ---- catalogue ----------------------------------------------------------------------------------

TEST(Catalogue, ProgramTableInTestOrder) {
    struct Row {
        const char* id;
        int count, settle, kind, compare;
        const char* first;
    };
    const Row rows[] = {
        {"LD3410", 5, 55, 1, 0, "HALVERONCD-RW  KR-3410P"},
        {"LD3411", 6, 10, 2, 0, "HALVERONCD-RW  KR-3411P"},
        {"LD3520", 3, 30, 3, 0, "HALVERONCD-RW  KR-3520P"},
        {"LD3521", 3, 95, 4, 0, "HALVERONCD-RW  KR-3521P"},
        {"LD4630", 3, 10, 16, 24, "HALVERONCD-RW   KR-4630P"},
        {"LD4631", 3, 30, 18, 23, "HALVERONCD-RW  KR-4631P"},
        {"LD4740", 3, 120, 17, 23, "HALVERONCD-RW  KR-4740P"},
        {"LD4741", 3, 20, 19, 23, "HALVERONCD-RW  KR-4741P"},
        {"LD4742", 3, 30, 20, 23, "HALVERONCD-RW  KR-4742P"},
        {"LD5850", 3, 10, 32, 24, "HALVERON LQ10A4 DOWNLOAD"},
        {"LD5860", 3, 10, 33, 24, "HALVERON LQ10A4 DOWNLOAD"},
        {"LD5871", 3, 10, 34, 24, "HALVERON VD5870 DOWNLOAD"},
        {"LD5861", 3, 10, 35, 24, "HALVERON LQ11A5 DOWNLOAD"},
        {"LD5862", 3, 10, 37, 24, "HALVERON LQ12A5 DOWNLOAD"},
        {"LD5851", 3, 10, 36, 24, "HALVERON LQ11A5 DOWNLOAD"},
        {"LD5852", 3, 10, 38, 24, "HALVERON LQ12A5 DOWNLOAD"},
        {"LDMULTI", 17, 120, 48, 24, "HALVERONDVD-RAM VR-6910N"},
    };
    ASSERT_EQ(kProgramTableSize, 17);
    for (int i = 0; i < kProgramTableSize; ++i) {
        SCOPED_TRACE(rows[i].id);
        const ProgramEntry& e = kProgramTable[i];
        EXPECT_STREQ(e.id, rows[i].id);
        EXPECT_EQ(e.count, rows[i].count);
        EXPECT_EQ(e.settleSeconds, rows[i].settle);
        EXPECT_EQ(e.kind, rows[i].kind);
        EXPECT_EQ(e.compareLength, rows[i].compare);
        EXPECT_EQ(e.perFieldLength, std::string(e.id) == "LDMULTI");
        EXPECT_EQ(FieldText(e.group[0]), rows[i].first);
        EXPECT_EQ(FindProgramEntry(e.id), &e);
    }
    EXPECT_EQ(FindProgramEntry("LD58"), nullptr);
    EXPECT_EQ(FindProgramEntry("ld3410"), nullptr);
}

TEST(Catalogue, EveryGroupEndsWithItsPaddedClosingField) {
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& e = kProgramTable[i];
        SCOPED_TRACE(e.id);
        const IdentityField& last = e.group[e.count - 1];
        int expected = e.perFieldLength ? 22 : (e.compareLength == 24 ? 24 : 23);
        EXPECT_EQ(FieldText(last), "DATAEND" + std::string(expected - 7, ' '));
        for (int k = 0; k < e.count; ++k) {
            const IdentityField& f = e.group[k];
            int n = FieldLength(f);
            EXPECT_LE(n, 24);
            for (int b = n; b < 25; ++b) EXPECT_EQ(f.text[b], 0) << "field " << k;
            if (k < e.count - 1) {
                EXPECT_NE(FieldText(f).rfind("DATAEND", 0), 0u) << k;
            }
        }
    }
    // Same loader identity, separate groups.
    EXPECT_NE(FindProgramEntry("LD5850")->group, FindProgramEntry("LD5860")->group);
}

TEST(Catalogue, FieldsByteForByte) {
    struct Spot {
        const char* id;
        int index;
        const char* text;
    };
    const Spot spots[] = {
        {"LD3410", 2, "TORVIK  CD-RW  KR-3410 "},   {"LD3410", 3, "PELLOWAYCD-RW  ZX3320E "},
        {"LD3411", 3, "KMVR    T470           "},   {"LD3411", 4, "MVR     T470           "},
        {"LD4630", 1, "HALVERONCD-RW   KR-4630 "},  {"LD5860", 1, "HALVERONDVD-ROM VD-5860 "},
        {"LD5851", 1, "HALVERONDVD-ROM VD-5851 "},  {"LDMULTI", 3, "HALVERONDVD-R   VR-6910"},
        {"LDMULTI", 5, "HALVERONDVD-RAM TB-210"},   {"LDMULTI", 6, "HALVERONTB-215"},
        {"LDMULTI", 8, "HALVERONDVD-R   TB-215A"},  {"LDMULTI", 13, "HALVERONDVD-RAM QM-R740"},
        {"LDMULTI", 15, "HALVERONDVD-RAM VR-6911"},
    };
    for (const Spot& s : spots) {
        SCOPED_TRACE(std::string(s.id) + "/" + std::to_string(s.index));
        const IdentityField& f = FindProgramEntry(s.id)->group[s.index];
        IdentityField want{};
        std::memcpy(want.text, s.text, std::strlen(s.text));
        EXPECT_EQ(std::memcmp(f.text, want.text, sizeof want.text), 0) << f.text;
    }
    EXPECT_STREQ(kGenericIds[0], "HLVDOWNLOAD");
    EXPECT_STREQ(kGenericIds[1], "WINDWL2");
    EXPECT_STREQ(kGenericIds[2], "DUALDOWNLOAD");
    EXPECT_EQ(kGenericIdsSize, 3);
}

// ---- program identifier ------------------------------------------------------------------------

class ScanTest : public DialogFixture {};

TEST_F(ScanTest, ProgramIdentifierSelectsGroup) {
    struct Case {
        const char* argv0;
        const char* entry;  // null: no group
        bool generic;
        int32_t result;
    };
    const Case cases[] = {
        {"LD3410", "LD3410", false, 1},
        {"/usr/local/bin/ld3410", "LD3410", false, 1},
        {"Ld4740.exe", "LD4740", false, 1},
        {"LD4631", "LD4631", false, 1},
        {"LD4630", "LD4630", false, 1},
        {"LD5851", "LD5851", false, 1},
        {"LD5862", "LD5862", false, 1},
        {"LD58", "LD5852", false, 1},  // leading part of several: the last in table order
        {"LD5", "LD5852", false, 1},
        {"LD4", "LD4742", false, 1},
        {"LD3", "LD3521", false, 1},
        {"LD", "LDMULTI", false, 1},
        {"l", "LDMULTI", false, 1},
        {"LDMULTI", "LDMULTI", false, 1},
        {"LD3410A", nullptr, false, 0},  // continues past an identifier
        {"LD3410 (2)", nullptr, false, 0},
        {"LDMULTIX", nullptr, false, 0},
        {"discflash", nullptr, false, 0},
        {".ld3410", nullptr, false, 0},  // empty identifier selects nothing
        {"HLVDOWNLOAD", nullptr, true, 1},
        {"hlvdownload.bin", nullptr, true, 1},
        {"WINDWL2", nullptr, true, 1},
        {"WIN", nullptr, true, 1},
        {"HLV", nullptr, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv0);
        ClearDispatchState();
        ui.messages.clear();
        driveCount = 0;
        const ProgramEntry* e = c.entry ? FindProgramEntry(c.entry) : nullptr;
        // A drive of the group (its second field), so that the scan finds one.
        std::vector<std::string> drives;
        if (e) drives.push_back(Blanked(FieldText(e->group[1])));
        drives.push_back(Blanked("OTHER   CD-ROM"));
        Program(c.argv0, drives);
        CDISCFLASHDlg d;
        settleSeconds = -7;
        ASSERT_EQ(d.OnInitDialog(), c.result == 1);
        EXPECT_EQ(d.m_bGeneric, c.generic ? 1 : 0);
        if (e) {
            EXPECT_EQ(currentGroup, e->group);
            EXPECT_EQ(currentGroupCount, e->count);
            EXPECT_EQ(settleSeconds, e->settleSeconds);
            EXPECT_EQ(d.m_nKind, e->kind);
            EXPECT_EQ(d.m_nCompareLength, e->compareLength ? e->compareLength : 23);
            EXPECT_EQ(d.m_bFound, 1);
            EXPECT_EQ(ui.selected, 0);
            EXPECT_TRUE(ui.messages.empty());
        } else {
            EXPECT_EQ(currentGroup, nullptr);
            EXPECT_EQ(currentGroupCount, -1);
            EXPECT_EQ(d.m_nKind, 255);
            EXPECT_EQ(settleSeconds, -7);  // kept: only a matching identifier sets it
        }
        if (!e && !c.generic) {
            ASSERT_EQ(ui.messages.size(), 1u);
            EXPECT_EQ(ui.messages[0].text, "This Program No run");
            EXPECT_EQ(ui.messages[0].caption, rt().appTitle);
            EXPECT_EQ(driveCount, 0);  // refused before enumerating
            EXPECT_TRUE(ui.list.empty());
        }
        EXPECT_EQ(ui.identity, rt().programId + "(  Version 1.100  )");
    }
}

TEST_F(ScanTest, IdentityLineAndListText) {
    Program("ld4740", {Blanked("HALVERONCD-RW  KR-4740 ")});
    DriveRecord full = FakeBackend::Drive("VENDOR12PRODUCT-NAME-0016", "REV1");
    std::memset(full.inquiry + 36, 'v', 20);
    backend.drives.push_back(full);
    ASSERT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(ui.identity, "LD4740(  Version 1.100  )");
    ASSERT_EQ(ui.list.size(), 2u);
    EXPECT_EQ(ui.list[0], Blanked("HALVERONCD-RW  KR-4740") + "1.00" + std::string(12, ' '));
    EXPECT_EQ(ui.list[0].size(), 40u);
    // Vendor, product, revision, then vendor-specific bytes up to 40 characters.
    EXPECT_EQ(ui.list[1], "VENDOR12PRODUCT-NAME-001REV1vvvvvvvvvvvv");
    EXPECT_EQ(ui.compactLayouts, 1);
}

// ---- drive matching ----------------------------------------------------------------------------

TEST_F(ScanTest, SelectsFirstDriveOfGroup) {
    struct Case {
        const char* name;
        const char* program;
        std::vector<std::string> drives;
        int selected;
        int firstIdentity;
        const char* notFound;  // message, or null
    };
    const std::string tb215 = Blanked("HALVERONTB-215"), kr3410 = "HALVERONCD-RW  KR-3410 ",
                      kr3410p = "HALVERONCD-RW  KR-3410P", x = Blanked("SOMEBODY");
    const Case cases[] = {
        {"per-field compare", "LDMULTI", {tb215}, 0, 0, nullptr},
        {"per-field first", "LDMULTI", {"HALVERONDVD-RAM VR-6910N"}, 0, 1, nullptr},
        {"per-field 23 of 24", "LDMULTI", {"HALVERONDVD-RAM VR-6910X"}, 0, 0, nullptr},
        {"per-field 22 chars", "LDMULTI", {"HALVERONDVD-RAM TB-216ZZ"}, 0, 0, nullptr},
        {"24th byte not compared", "LD4740", {"HALVERONCD-RW  KR-4740PX"}, 0, 1, nullptr},
        {"second field", "LD4740", {"HALVERONCD-RW  KR-4740 X"}, 0, 0, nullptr},
        {"other vendor", "LD3410", {"TORVIK  CD-RW  KR-3410 Q"}, 0, 0, nullptr},
        {"24 compared", "LD4630", {"HALVERONCD-RW   KR-4630X"}, -1, 0, "HLV DRIVE [4630] NotFound"},
        {"24 compared, match", "LD4630", {"HALVERONCD-RW   KR-4630P"}, 0, 1, nullptr},
        {"first of two", "LD3410", {kr3410, kr3410p}, 0, 0, nullptr},
        {"first of two, first field", "LD3410", {kr3410p, kr3410}, 0, 1, nullptr},
        {"after a stranger", "LD3410", {x, "PELLOWAYCD-RW  ZX3320E "}, 1, 0, nullptr},
        {"closing field compared", "LD3410", {Blanked("DATAEND")}, 0, 0, nullptr},
        {"neighbour", "LD4740", {"HALVERONCD-RW  KR-4741P "}, -1, 0, "HLV DRIVE [4740] NotFound"},
        {"no drives", "LDMULTI", {}, -1, 0, "HLV DRIVE [MULT] NotFound"},
        {"short id", "LD58", {}, -1, 0, "HLV DRIVE [  58] NotFound"},
        {"shortest id", "L", {}, -1, 0, "HLV DRIVE [    ] NotFound"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui.messages.clear();
        Program(c.program, c.drives);
        CDISCFLASHDlg d;
        d.m_bFirstIdentity = 1;  // the scan clears it
        bool ok = d.OnInitDialog();
        EXPECT_EQ(ok, c.notFound == nullptr);
        EXPECT_EQ(d.m_bFound, c.notFound ? 0 : 1);
        EXPECT_EQ(ui.selected, c.selected);
        EXPECT_EQ(d.m_bFirstIdentity, c.firstIdentity);
        EXPECT_EQ(ui.list.size(), c.drives.size());  // every drive listed
        if (c.notFound) {
            ASSERT_EQ(ui.messages.size(), 1u);
            EXPECT_EQ(ui.messages[0].text, c.notFound);
            EXPECT_EQ(ui.messages[0].caption, rt().appTitle);
            EXPECT_EQ(ui.messages[0].type, MB_OK);
        } else {
            EXPECT_TRUE(ui.messages.empty());
        }
    }
}

TEST_F(ScanTest, GenericModeListsAllAndSelectsFirst) {
    Program("HLVDOWNLOAD");
    ASSERT_TRUE(dlg.OnInitDialog());
    EXPECT_TRUE(ui.list.empty());
    EXPECT_EQ(ui.selected, -1);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(dlg.m_bFound, 0);
    EXPECT_EQ(dlg.m_nKind, 255);

    Program("HLVDOWNLOAD", {Blanked("OTHER"), "HALVERONCD-RW  KR-3410P"});
    ASSERT_EQ(dlg.ScanDrives(), 1);
    EXPECT_EQ(ui.list.size(), 2u);
    EXPECT_EQ(ui.selected, 0);
    EXPECT_EQ(dlg.m_bFound, 0);  // no drive is tested in generic mode
    EXPECT_EQ(dlg.m_bFirstIdentity, 0);
}

TEST_F(ScanTest, DualModeGate) {
    const std::string text = "Windows9x(Me)のみ動作可能です。\n処理を中止いたします";
    const std::string caption = "Windows9x(Me)のみ動作可能です";

    Program("DUALDOWNLOAD", {Blanked("OTHER")});
    EXPECT_FALSE(dlg.OnInitDialog());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, text);
    EXPECT_EQ(ui.messages[0].caption, caption);
    EXPECT_EQ(ui.messages[0].type, MB_OK);
    EXPECT_TRUE(ui.list.empty());
    EXPECT_EQ(dlg.m_bGeneric, 1);

    // On the adapter/target/LUN transport it goes on; nothing to switch off, no restart.
    ui.messages.clear();
    rt().transport = TransportChoice::Sg;
    CDISCFLASHDlg d;
    EXPECT_TRUE(d.OnInitDialog());
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.list.size(), 1u);
    EXPECT_EQ(ui.selected, 0);
    EXPECT_EQ(host.restarts, 0);
}

TEST_F(ScanTest, TransportFailureEndsQuietly) {
    Program("LD3410", {"HALVERONCD-RW  KR-3410P"});
    backend.loadResult = 0;
    ui.list = {"stale"};
    EXPECT_FALSE(dlg.OnInitDialog());
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.list, std::vector<std::string>{"stale"});
    EXPECT_TRUE(ui.identity.empty());
}

TEST_F(ScanTest, FailedStartReleasesAdapterTransport) {
    rt().transport = TransportChoice::Sg;
    Program("LD3410", {Blanked("OTHER")});
    EXPECT_FALSE(dlg.OnInitDialog());
    EXPECT_EQ(backend.unloads, 1);
    EXPECT_FALSE(transport().aspiLibrary);
}

// ---- MatchGroup
// ----------------------------------------------------------------------------------

TEST_F(ScanTest, MatchGroup) {
    const ProgramEntry* multi = FindProgramEntry("LDMULTI");
    const ProgramEntry* ld3410 = FindProgramEntry("LD3410");
    const ProgramEntry* ld4630 = FindProgramEntry("LD4630");
    struct Case {
        const char* name;
        const ProgramEntry* entry;
        int length;
        uint8_t kindBefore;
        std::string identity;
        int32_t match;
        int firstMatch;
    };
    const Case cases[] = {
        {"first field", ld3410, 23, 255, "HALVERONCD-RW  KR-3410P?", 1, 1},
        {"later field", ld3410, 23, 255, "PELLOWAYCD-RW  ZX3320E ?", 1, 0},
        {"length 24", ld4630, 24, 255, "HALVERONCD-RW   KR-4630?", 0, 0},
        {"per-field whatever the length", multi, 24, 255, Blanked("HALVERONTB-215"), 1, 0},
        {"per-field first", multi, 24, 255, "HALVERONDVD-RAM VR-6910N", 1, 1},
        {"QM-R5 in the microcode group", multi, 24, 255, "HALVERONDVD-RAM QM-R500 ", 1, 0},
        {"QM-R5 with kind 48", multi, 24, 48, "HALVERONDVD-RAM QM-R5   ", 1, 0},
        {"QM-R5 not elsewhere", ld3410, 23, 48, "HALVERONDVD-RAM QM-R500 ", 0, 0},
        {"QM-R4 is no member", multi, 24, 48, "HALVERONDVD-RAM QM-R400 ", 0, 0},
        {"miss", multi, 24, 255, Blanked("STRANGER"), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        currentGroup = ld4630->group;
        currentGroupCount = 99;
        dlg.m_bGroupFirstMatch = 1;
        dlg.m_bFirstIdentity = 0;
        dlg.m_nKind = c.kindBefore;
        DriveRecord drive = FakeBackend::Drive(c.identity);
        EXPECT_EQ(dlg.MatchGroup(c.length, c.entry->group, c.entry->count, drive.inquiry), c.match);
        EXPECT_EQ(dlg.m_bGroupFirstMatch, c.firstMatch);
        EXPECT_EQ(dlg.m_bFirstIdentity, c.firstMatch);
        EXPECT_EQ(dlg.m_nKind, c.kindBefore);  // the caller assigns kinds
        EXPECT_EQ(currentGroup, c.match ? c.entry->group : ld4630->group);
        EXPECT_EQ(currentGroupCount, c.match ? c.entry->count : 99);
    }
    // A miss never clears m_bFirstIdentity.
    dlg.m_bFirstIdentity = 1;
    DriveRecord stranger = FakeBackend::Drive("STRANGER");
    EXPECT_EQ(dlg.MatchGroup(23, ld3410->group, ld3410->count, stranger.inquiry), 0);
    EXPECT_EQ(dlg.m_bFirstIdentity, 1);
}

TEST_F(ScanTest, MatchGroupUsesSelectedEntry) {
    Program("HLVDOWNLOAD", {Blanked("STRANGER"), "HALVERONCD-RW  KR-3410 "});
    ASSERT_TRUE(dlg.OnInitDialog());
    const ProgramEntry* e = FindProgramEntry("LD3410");
    EXPECT_EQ(dlg.MatchGroup(23, e->group, e->count, nullptr), 0);  // entry 0
    ui.ListSelect(1);
    EXPECT_EQ(dlg.MatchGroup(23, e->group, e->count, nullptr), 1);
    ui.ListSelect(-1);  // no selection: no drive to read
    dlg.m_bGroupFirstMatch = 1;
    EXPECT_EQ(dlg.MatchGroup(23, e->group, e->count, nullptr), 0);
    EXPECT_EQ(dlg.m_bGroupFirstMatch, 0);
}

// ---- commands
// ------------------------------------------------------------------------------------

TEST_F(ScanTest, ResearchTwiceGivesSameState) {
    Program("LD4740", {Blanked("STRANGER"), "HALVERONCD-RW  KR-4740 ", "HALVERONCD-RW  KR-4740P"});
    ASSERT_TRUE(dlg.OnInitDialog());
    const std::vector<std::string> list = ui.list;
    const int selected = ui.selected;
    EXPECT_EQ(selected, 1);
    for (int i = 0; i < 2; ++i) {
        ui.ListSelect(2);
        dlg.m_nKind = 7;
        dlg.m_bFirstIdentity = 1;
        dlg.OnResearch();
        EXPECT_EQ(ui.list, list);
        EXPECT_EQ(ui.selected, selected);
        EXPECT_EQ(dlg.m_nKind, 17);  // restored from the identifier
        EXPECT_EQ(dlg.m_bFirstIdentity, 0);
        EXPECT_EQ(ui.compactLayouts, 2 + i);
    }
    // A Research that finds nothing keeps the dialog, and says why (nothing older).
    backend.drives.clear();
    Note("an earlier command's");
    dlg.OnResearch();
    EXPECT_EQ(ui.messages.back().detail.rfind("no drive of the LD4740 family", 0), 0u);
    EXPECT_TRUE(ui.list.empty());
    EXPECT_FALSE(dlg.IsClosed());
    EXPECT_EQ(ui.quitCode, -1);
}

TEST_F(ScanTest, ExitAndReBoot) {
    rt().transport = TransportChoice::Sg;
    Program("LD3410", {"HALVERONCD-RW  KR-3410P"});
    ASSERT_TRUE(dlg.OnInitDialog());
    ASSERT_TRUE(RenewReadBackBuffer());

    host.restartResult = 0;  // refused: the dialog stays
    dlg.OnReBoot();
    EXPECT_EQ(host.restarts, 1);
    EXPECT_FALSE(dlg.IsClosed());
    EXPECT_EQ(ui.quitCode, -1);
    ASSERT_NE(readBackBuffer, nullptr);

    rt().host = nullptr;  // no host: nothing to ask
    dlg.OnReBoot();
    EXPECT_FALSE(dlg.IsClosed());
    rt().host = &host;

    host.restartResult = 1;
    int closes = backend.closes;
    dlg.OnReBoot();
    EXPECT_EQ(host.restarts, 2);
    EXPECT_TRUE(dlg.IsClosed());
    EXPECT_EQ(ui.quitCode, 0);
    EXPECT_EQ(backend.closes, closes + 1);
    EXPECT_EQ(backend.unloads, 1);
    EXPECT_EQ(readBackBuffer, nullptr);

    // Exit with no buffer at all is harmless.
    CDISCFLASHDlg d;
    ui.quitCode = -1;
    d.OnCancel();
    EXPECT_TRUE(d.IsClosed());
    EXPECT_EQ(ui.quitCode, 0);
}

}  // namespace
