// DownLoad: which drive, which kind, and the procedure of that kind.
#include "drives/dispatch.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "drives/main_dialog.h"
#include "drives/test_hooks.h"
#include "scsi/transport.h"
#include "system/download_guard.h"
#include "system/node_users.h"
#include "system/printable.h"
#include "system/runtime.h"
#include "system/zeroed_block.h"

uint8_t* readBackBuffer = nullptr;

namespace {

ZeroedBlock g_readBackBlock;
ProcedureHook g_procedureHook;
bool g_failAllocation = false;

constexpr const char* kNoSelection = "no drive is selected";

// Generic mode, selected drive.
constexpr const char* kOrderA[] = {"LD3410", "LD3411", "LD3520", "LD3521",  "LD4630", "LD4631",
                                   "LD4740", "LD4741", "LD4742", "LD5850",  "LD5860", "LD5871",
                                   "LD5861", "LD5862", "LD5851", "LDMULTI", "LD5852"};
// File on the command line: "LDMULTI" last.
constexpr const char* kOrderB[] = {"LD3410", "LD3411", "LD3520", "LD3521", "LD4630", "LD4631",
                                   "LD4740", "LD4741", "LD4742", "LD5850", "LD5860", "LD5871",
                                   "LD5861", "LD5862", "LD5851", "LD5852", "LDMULTI"};

// Tests the groups in order, each with its own compare length; the kind and settling time of
// every group tested stay in force, so a miss leaves those of the last group. drive null: the
// selected entry.
template <size_t N>
bool IdentifyByOrder(CDISCFLASHDlg& dlg, const char* const (&order)[N], const uint8_t* drive) {
    dlg.m_bFirstIdentity = 0;  // MatchGroup sets it for a match on a group's first identity
    for (const char* id : order) {
        const ProgramEntry* e = FindProgramEntry(id);
        int32_t length = CompareLengthOf(*e);
        int32_t matched = dlg.MatchGroup(length, e->group, e->count, drive);
        settleSeconds = e->settleSeconds;
        dlg.m_nKind = e->kind;
        if (matched) return true;
    }
    return false;
}

// Outside generic mode the kind is the program's whatever the drive says; the group only tells
// whether the drive reports its first identity (its loader's, for the groups with a loader).
// Both flags describe the drive of this command: one left set by an earlier command or scan
// (another drive, or this one before it left its loader) would make a procedure skip the loader
// switch or the image tag check.
void IdentifyInGroup(CDISCFLASHDlg& dlg, const DriveRecord& drive) {
    dlg.m_bGroupFirstMatch = 0;
    dlg.m_bFirstIdentity = currentGroup && currentGroupCount > 0 &&
                           FieldEquals(currentGroup[0], drive.inquiry, dlg.m_nCompareLength);
}

const ProgramEntry* EntryOfKind(uint8_t kind) {
    for (int t = 0; t < kProgramTableSize; ++t)
        if (kProgramTable[t].kind == kind) return &kProgramTable[t];
    return nullptr;
}

// Whether the drive is a member of the family's group, compared as MatchGroup compares.
bool OfFamily(const DriveRecord& drive, const ProgramEntry* family) {
    return family && TakesDrive(*family, drive.inquiry);
}

// INQUIRY text from byte `from`, over at most n bytes, up to the first zero byte.
std::string InquiryText(const uint8_t* inquiry, size_t from, size_t n) {
    const char* text = reinterpret_cast<const char*>(inquiry + from);
    return std::string(text, strnlen(text, n));
}

// A drive of another family, or of another maker, would get commands made for other firmware
// (WRITE BUFFER into a DVD-ROM drive, the loader switch 0xCC). Asked before the drive is even
// opened; No, the default, leaves it alone.
bool ProgramAnyway(const DriveRecord& drive, const ProgramEntry* family) {
    const std::string id = family ? family->id : "?";
    const std::string families = FamiliesOf(drive.inquiry);
    const std::string text =
        "The drive \"" + Printable(InquiryText(drive.inquiry, 8, 24)) + "\" " +
        (families.empty() ? "belongs to no known drive family"
                          : "is a drive of " + families + ", not of the " + id + " family") +
        ".\nDownLoad would program it as a drive of the " + id + " family.\nProgram it anyway?";
    return ShowMessage(text, "HLV DOWNLOAD", MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) ==
           IDYES;
}

// How the history names the end of a download that sent the drive something.
const char* HistoryOutcome(Outcome outcome, const std::string& lastBox) {
    switch (outcome) {
        case Outcome::Succeeded:
            return kHistoryComplete;
        case Outcome::Failed:
            return lastBox == kDownLoadNoGood ? kHistoryNoGood : kHistoryFault;
        case Outcome::NothingDone:
            break;
    }
    return kHistoryCancelled;
}

// The history's record of a download; a history that cannot be written changes nothing else.
void RecordDownload(DownloadRecord& record, Outcome outcome, const std::string& image) {
    if (!image.empty()) {
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(image, ec);
        record.image = ec ? image : full.string();
    }
    record.message = rt().lastMessage;
    record.outcome = HistoryOutcome(outcome, record.message);
    std::string why;
    if (!rt().history->Append(record, why))
        Note("the download was not recorded in the history: " + why + ".");
}

// Held while a procedure runs: no shutdown or sleep of the host, the front end's termination
// signals wait for the procedure to return, and the thread runs at lowered priority throughout
// (set to normal at the end) instead of around each command.
class ProcedureScope {
  public:
    ProcedureScope() {
        if (rt().host) rt().host->Inhibit("Firmware download in progress");
        SetProcedureRunning(true);
    }
    ~ProcedureScope() {
        SetProcedureRunning(false);
        if (rt().host) rt().host->ReleaseInhibit();
    }
    ProcedureScope(const ProcedureScope&) = delete;
    ProcedureScope& operator=(const ProcedureScope&) = delete;

  private:
    LoweredPriority priority_;
};

// Another program with the drive open can send it commands between ours, also while the drive
// runs its loader: the user is told who, before the first command.
void NoteOtherUsers(const DriveRecord& drive) {
    DevicePort* port = rt().devices;
    if (!port || drive.node.empty()) return;
    std::string nodes = drive.node;
    std::vector<std::string> paths = {drive.node};
    const std::string twin = TwinNode(*port, IsAspiMode() ? NodeClass::Block : NodeClass::Generic,
                                      drive.host, drive.channel, drive.target, drive.lunNumber);
    if (!twin.empty()) {
        paths.push_back(twin);
        nodes += " or " + twin;
    }
    const std::vector<NodeUser> users = port->OpenedBy(paths);
    if (users.empty()) return;
    Note("other programs have the drive open (" + nodes + "): " + UsersText(users) +
         ". Their commands reach the drive between the download's, also while it runs its "
         "loader; close them before a download.");
}

int Selected() {
    return rt().ui ? rt().ui->ListSelected() : -1;
}
int EntryCount() {
    return rt().ui ? rt().ui->ListCount() : 0;
}
void Select(int index) {
    if (rt().ui) rt().ui->ListSelect(index);
}

}  // namespace

bool RenewReadBackBuffer() {
    FreeReadBackBuffer();
    if (g_failAllocation) return false;
    g_readBackBlock = AllocateZeroed(kReadBackBufferSize);
    readBackBuffer = g_readBackBlock.get();
    return readBackBuffer != nullptr;
}

void FreeReadBackBuffer() {
    g_readBackBlock.reset();
    readBackBuffer = nullptr;
}

const ProgramEntry* CommandLineFamily(const uint8_t* inquiry) {
    for (const char* id : kOrderB) {
        const ProgramEntry* e = FindProgramEntry(id);
        if (TakesDrive(*e, inquiry)) return e;
    }
    return nullptr;
}

void SetProcedureHookForTests(ProcedureHook hook) {
    g_procedureHook = std::move(hook);
}
void FailReadBackAllocationForTests(bool fail) {
    g_failAllocation = fail;
}

// The download procedure of each kind. A family whose procedure is not built yet maps to
// nullptr: DownLoad then opens and closes the drive and reports that nothing was done.
//   1, 2, 3               ROM-image download
//   4, 17, 18, 19, 20     loader-switch download; one entry point per kind, each calling
//                         DownloadLoaderSwitch, which tells the kinds apart by m_nKind
//   16, 32                checked-image download
//   34                    CD-ROM download
//   33, 35, 36, 37, 38    CD-ROM power-off download
//   48                    microcode download
CDISCFLASHDlg::Procedure CDISCFLASHDlg::ProcedureForKind(uint8_t kind) {
    struct Entry {
        uint8_t kind;
        Procedure procedure;
    };
    static const Entry kTable[] = {
        {1, &CDISCFLASHDlg::DownloadRomImage},       {2, &CDISCFLASHDlg::DownloadRomImage},
        {3, &CDISCFLASHDlg::DownloadRomImage},       {4, &CDISCFLASHDlg::DownloadKind4},
        {17, &CDISCFLASHDlg::DownloadKind17},        {18, &CDISCFLASHDlg::DownloadKind18},
        {19, &CDISCFLASHDlg::DownloadKind19},        {20, &CDISCFLASHDlg::DownloadKind20},
        {16, &CDISCFLASHDlg::DownloadCheckedImage},  {32, &CDISCFLASHDlg::DownloadCheckedImage},
        {34, &CDISCFLASHDlg::DownloadCdRom},         {33, &CDISCFLASHDlg::DownloadCdRomPowerOff},
        {35, &CDISCFLASHDlg::DownloadCdRomPowerOff}, {36, &CDISCFLASHDlg::DownloadCdRomPowerOff},
        {37, &CDISCFLASHDlg::DownloadCdRomPowerOff}, {38, &CDISCFLASHDlg::DownloadCdRomPowerOff},
        {48, &CDISCFLASHDlg::DownloadMicrocode},
    };
    for (const Entry& e : kTable)
        if (e.kind == kind) return e.procedure;
    return nullptr;
}

void CDISCFLASHDlg::KeepIdentityAfter(const uint8_t* inquiry, uint32_t received) {
    if (received <= 8) return;
    m_record.identityAfter = InquiryText(inquiry, 8, std::min<uint32_t>(received - 8, 24));
    m_record.revisionAfter =
        received >= 36 ? std::optional<std::string>(InquiryText(inquiry, 32, 4)) : std::nullopt;
}

void CDISCFLASHDlg::OnOK() {
    // A press that arrives while a procedure dispatches events is dropped, and must not touch
    // the running command's outcome.
    if (m_bBusy) return;
    ReportOutcome(Outcome::NothingDone);
    m_nothingDone = kNoSelection;
    m_imageIdentity.clear();
    ForgetNotes();

    int selected = Selected();
    if (selected < 0) return;

    int index = -1;
    bool ask = false;  // the command-line path goes on only with a drive of some group
    if (m_strFirmwarePath.empty()) {
        // The list mirrors the drive table; an entry past it has no drive behind it.
        if (selected >= driveCount) return;
        index = selected;
        if (m_bGeneric) {
            ask = !IdentifyByOrder(*this, kOrderA, nullptr);
        } else {
            IdentifyInGroup(*this, driveTable[index]);
            ask = !OfFamily(driveTable[index], EntryOfKind(m_nKind));
        }
    } else {
        int entries = std::min(EntryCount(), driveCount);
        for (int i = 0; i < entries; ++i) {
            Select(i);
            if (IdentifyByOrder(*this, kOrderB, driveTable[i].inquiry)) {
                index = i;
                break;
            }
            settleSeconds = 255;
            m_nKind = 255;
        }
        if (index < 0) {
            m_nothingDone = "no listed drive belongs to a known family";
            m_strFirmwarePath.clear();
            return;
        }
    }

    Procedure procedure = ProcedureForKind(m_nKind);
    const bool runs = g_procedureHook || procedure;
    const DriveRecord& drive = driveTable[index];
    const ProgramEntry* family = EntryOfKind(m_nKind);
    if (runs && ask && !ProgramAnyway(drive, family)) {
        m_nothingDone = OfKnownFamily(drive.inquiry)
                            ? "the drive is not of the family whose download would run, and the "
                              "question whether to program it anyway was answered No (--yes "
                              "answers Yes)"
                            : "the drive belongs to no known family and was left alone";
        return;
    }
    m_nothingDone = runs ? "no firmware file was given" : "no download procedure for this kind";

    // The drive's record at the start, for the history.
    m_record = DownloadRecord{};
    m_record.program = family ? family->id : rt().programId;
    m_record.node = drive.node;
    m_record.identityBefore = InquiryText(drive.inquiry, 8, 24);
    m_record.revisionBefore = InquiryText(drive.inquiry, 32, 4);
    rt().lastMessage.clear();
    const uint64_t sentBefore = transport().commandsSent;

    NoteOtherUsers(drive);
    // A drive that cannot be opened makes the procedure's first command fail.
    OpenDrive(driveTable[index]);
    m_bBusy = 1;

    if (!RenewReadBackBuffer()) {
        ShowMessage("Memory not allocated", "HLV DOWNLOAD", MB_OK | MB_ICONHAND);
        ReportOutcome(Outcome::Failed);
    } else {
        std::string why;
        if (runs && !TransportMaySendAnyCommand(why)) {
            // Said before the procedure sends anything, rather than failing half-way through.
            ShowMessage(why, "HLV DOWNLOAD", MB_OK | MB_ICONHAND);
            ReportOutcome(Outcome::Failed);
        } else if (runs) {
            ProcedureScope scope;
            if (g_procedureHook)
                g_procedureHook(*this);
            else
                (this->*procedure)();
        }
    }
    if (rt().history && transport().commandsSent != sentBefore)
        RecordDownload(m_record, m_lastOutcome, m_strFirmwarePath);

    // A procedure may have closed the program through Exit, which has closed the drive and
    // released the transport already.
    if (!m_closed) CloseDrive();
    m_bBusy = 0;
    m_strFirmwarePath.clear();
    if (m_lastOutcome != Outcome::NothingDone) m_nothingDone = nullptr;
}
