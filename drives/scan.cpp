// Start-up and Research scan: which group the program serves, which drives are there, and which
// of them to select.
#include <cstdio>
#include <cstring>
#include <string>

#include "drives/main_dialog.h"
#include "scsi/kernel_notes.h"
#include "scsi/transport.h"
#include "system/autoinsert.h"
#include "system/errno_name.h"
#include "system/printable.h"
#include "system/runtime.h"

namespace {

constexpr const char* kVersionText = " Version 1.100 ";

// First 24 bytes of the one group compared field by field.
constexpr char kPerFieldGroupId[] = "HALVERONDVD-RAM VR-6910N";
// Drives the microcode (kind 48) procedure serves although no field of its group names them.
constexpr char kKind48Family[] = "HALVERONDVD-RAM QM-R5";
constexpr size_t kKind48FamilyLength = sizeof(kKind48Family) - 1;
static_assert(kKind48FamilyLength == 21);

const uint8_t* IdentityOf(const uint8_t* inquiry) {
    return inquiry + 8;
}

bool IsPerFieldGroup(const IdentityGroup* group) {
    return std::memcmp(group[0].text, kPerFieldGroupId, 24) == 0;
}

// An identifier selects a table name when it equals it or is a leading part of it. An empty
// identifier (a program file named ".x") is a leading part of every name; it selects none.
bool IdSelects(const std::string& id, const char* name) {
    if (id.empty()) return false;
    return std::strncmp(name, id.c_str(), id.size()) == 0;
}

std::string Format(const char* fmt, const char* a, const char* b = nullptr) {
    char buf[512];
    if (b)
        std::snprintf(buf, sizeof buf, fmt, a, b);
    else
        std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// The list text of a drive: INQUIRY from byte 8 on (vendor, product, revision, vendor
// specific), first 40 characters, blank padded. The record holds at most 48 characters there.
std::string ListText(const DriveRecord& record) {
    const char* text = record.IdentityText();
    std::string s(text, strnlen(text, sizeof(record.inquiry) - 8));
    return Format("%-40.40s", s.c_str());
}

// Why no listed drive is of the family, in Linux terms: what the transport found, what it could
// not open, and what each drive is instead.
void NoteNotFound(const std::string& id, const IdentityGroup* group, int32_t count) {
    const bool sg = IsAspiMode();
    const char* nodes = sg ? "SCSI generic nodes (/dev/sgN)" : "CD/DVD block devices (/dev/srN)";
    std::string text = "no drive of the " + id + " family: " + std::to_string(driveCount) +
                       " CD/DVD device" + (driveCount == 1 ? "" : "s") + " found among the " +
                       nodes + ".";
    if (driveCount <= 0 && UnopenedNodes().empty())
        text += std::string(" None is attached or switched on, or its driver (") +
                (sg ? "sg" : "sr_mod") + ") is not loaded; `lsscsi -g` lists the SCSI devices.";
    for (const UnopenedNode& u : UnopenedNodes())
        text += " " + u.path + " could not be opened: " + ErrnoText(u.err) + ".";
    std::string takes;
    for (int32_t k = 0; group && k + 1 < count; ++k)
        takes += std::string(takes.empty() ? "" : ", ") + "\"" +
                 Printable(group[k].text, static_cast<size_t>(FieldLength(group[k]))) + "\"";
    for (int j = 0; j < driveCount; ++j) {
        const DriveRecord& d = driveTable[j];
        if (d.node.empty()) continue;  // one that could not be opened, named above
        const size_t n = strnlen(d.IdentityText(), 24);
        text += " " + d.node + ": ";
        if (n == 0) {
            text += "gave no INQUIRY data.";
            continue;
        }
        text += "\"" + Printable(d.IdentityText(), n) + "\" is ";
        const std::string families = FamiliesOf(d.inquiry);
        text += families.empty() ? "of no family this program knows."
                                 : "a drive of " + families +
                                       ": start the program under that "
                                       "name, or as HLVDOWNLOAD.";
    }
    if (!takes.empty()) text += " " + id + " takes " + takes + ".";
    Note(text);
}

void ListClear() {
    if (rt().ui) rt().ui->ListClear();
}
void ListAdd(const std::string& text) {
    if (rt().ui) rt().ui->ListAdd(text);
}
void ListSelect(int index) {
    if (rt().ui) rt().ui->ListSelect(index);
}

}  // namespace

int32_t CDISCFLASHDlg::ScanDrives() {
    ForgetNotes();
    if (!InitTransport()) return 0;

    ListClear();
    m_nCompareLength = kDefaultCompareLength;
    bool perFieldLength = false;
    bool dual = false;

    const std::string& id = rt().programId;

    currentGroup = nullptr;
    currentGroupCount = -1;

    // Every entry is tried, so the last one the identifier selects wins ("LD" takes "LDMULTI").
    for (int t = 0; t < kProgramTableSize; ++t) {
        const ProgramEntry& e = kProgramTable[t];
        if (!IdSelects(id, e.id)) continue;
        currentGroup = e.group;
        currentGroupCount = e.count;
        settleSeconds = e.settleSeconds;
        m_nKind = e.kind;
        if (e.compareLength) m_nCompareLength = e.compareLength;
        if (e.perFieldLength) perFieldLength = true;
    }
    if (IdSelects(id, "HLVDOWNLOAD")) m_bGeneric = 1;
    if (IdSelects(id, "WINDWL2")) m_bGeneric = 1;
    if (IdSelects(id, "DUALDOWNLOAD")) {
        dual = true;
        m_bGeneric = 1;
    }

    if (rt().ui) rt().ui->SetIdentity(Format("%s( %15.15s )", id.c_str(), kVersionText));

    if (!m_bGeneric && currentGroupCount == -1) {
        ShowMessage("This Program No run");
        return 0;
    }

    driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);

    if (dual) {
        // The dual mode needs the adapter/target/LUN transport (--transport=sg).
        if (!IsAspiMode()) {
            Note("runs with --transport=sg");
            ShowMessage("Windows9x(Me)のみ動作可能です。\n処理を中止いたします",
                        "Windows9x(Me)のみ動作可能です");
            return 0;
        }
        switch (WhileBusy(CheckAutoInsert)) {
            case kAutoInsertSwitchedOff:
                // The user was told the machine restarts; whether it does, start-up ends here.
                WhileBusy(RestartSystem);
                return 0;
            case kAutoInsertNotSwitched:
                return 0;  // polling is still on: no restart, no download
            default:
                break;
        }
    }

    m_bFirstIdentity = 0;
    m_bFound = 0;
    for (int j = 0; j < driveCount; ++j) {
        const DriveRecord& drive = driveTable[j];
        ListAdd(ListText(drive));
        if (m_bFound) continue;
        for (int k = 0; k < currentGroupCount; ++k) {
            int n = perFieldLength ? FieldLength(currentGroup[k]) : m_nCompareLength;
            if (!FieldEquals(currentGroup[k], drive.inquiry, n)) continue;
            ListSelect(j);
            m_bFound = 1;
            if (k == 0) m_bFirstIdentity = 1;
            break;
        }
    }

    if (rt().ui) {
        rt().ui->MeasureLayout();
        rt().ui->ApplyCompactSize();
    }

    if (m_bGeneric) {
        ListSelect(0);
        return 1;
    }
    if (!m_bFound) {
        // The family number after "LD"; an identifier shorter than that shows blanks.
        std::string family = id.size() > 2 ? id.substr(2) : std::string();
        NoteNotFound(id, currentGroup, currentGroupCount);
        ShowMessage(Format("HLV DRIVE [%4.4s] NotFound", family.c_str()));
    }
    return m_bFound;
}

// The microcode (kind 48) procedure also serves the "HALVERONDVD-RAM QM-R5" drives, which no
// field of its group names. They are accepted as members of that group, and of no other: so in
// generic mode and on the command-line path such a drive is identified as kind 48 with its
// group's settling time, whatever kind an earlier test left in m_nKind. Tying the acceptance
// to m_nKind instead would hand the drive to whichever group happens to be tested after a
// kind 48 assignment (or first, when the program itself is "LDMULTI"), and so to a procedure
// of another family.
int GroupFieldMatch(int32_t length, const IdentityGroup* group, int32_t count,
                    const uint8_t* inquiry) {
    if (!group) return kNoField;
    bool perField = IsPerFieldGroup(group);
    for (int32_t i = 0; i < count; ++i) {
        int n = perField ? FieldLength(group[i]) : length;
        if (FieldEquals(group[i], inquiry, n)) return i;
    }
    if (perField && std::memcmp(IdentityOf(inquiry), kKind48Family, kKind48FamilyLength) == 0)
        return kFamilyMember;
    return kNoField;
}

bool TakesDrive(const ProgramEntry& entry, const uint8_t* inquiry) {
    return GroupFieldMatch(CompareLengthOf(entry), entry.group, entry.count, inquiry) != kNoField;
}

bool InItsLoader(const ProgramEntry& entry, const uint8_t* inquiry) {
    return HasLoader(entry) &&
           GroupFieldMatch(CompareLengthOf(entry), entry.group, entry.count, inquiry) == 0;
}

std::vector<const ProgramEntry*> FamilyEntriesOf(const uint8_t* inquiry) {
    std::vector<const ProgramEntry*> entries;
    for (int t = 0; t < kProgramTableSize; ++t)
        if (TakesDrive(kProgramTable[t], inquiry)) entries.push_back(&kProgramTable[t]);
    return entries;
}

std::string FamiliesOf(const uint8_t* inquiry) {
    std::string ids;
    for (const ProgramEntry* e : FamilyEntriesOf(inquiry))
        ids += std::string(ids.empty() ? "" : ", ") + e->id;
    return ids;
}

bool OfKnownFamily(const uint8_t* inquiry) {
    return !FamilyEntriesOf(inquiry).empty();
}

int32_t CDISCFLASHDlg::MatchGroup(int32_t length, const IdentityGroup* group, int32_t count,
                                  const uint8_t* drive) {
    if (!drive) {
        int selected = rt().ui ? rt().ui->ListSelected() : -1;
        if (selected < 0 || selected >= driveCount) {
            m_bGroupFirstMatch = 0;
            return 0;
        }
        drive = driveTable[selected].inquiry;
    }
    m_bGroupFirstMatch = 0;
    int field = GroupFieldMatch(length, group, count, drive);
    if (field == kNoField) return 0;
    currentGroup = group;
    currentGroupCount = count;
    if (field == 0) {
        m_bGroupFirstMatch = 1;
        m_bFirstIdentity = 1;
    }
    return 1;
}
