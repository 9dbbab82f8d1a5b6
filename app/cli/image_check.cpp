#include "app/cli/image_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/cli/drive_list.h"
#include "app/cli/options.h"
#include "app/cli/signals.h"
#include "drives/dispatch.h"
#include "drives/main_dialog.h"
#include "emu/emulated_session.h"
#include "scsi/transport.h"
#include "system/printable.h"
#include "system/silent_ui.h"

namespace {

// Procedures that send the image without looking into it: the microcode download leaves that
// to the drive, the kind-33 power-off download skips the image identity checks.
constexpr uint8_t kContentNotExamined[] = {33, 48};

bool Examines(uint8_t kind) {
    for (uint8_t k : kContentNotExamined)
        if (k == kind) return false;
    return true;
}

bool IsImageWrite(const LoggedCommand& c) {
    return !c.cdb.empty() && !c.out.empty() && IsImageWriteOpcode(c.cdb[0]);
}

// The image from the command line, as `LDxxxx --batch --emulate=LDxxxx IMAGE` would take it,
// into the emulated drive `standIn` of the family.
FamilyCheck CheckFamily(const ProgramEntry& entry, EmulatedDriveSpec standIn,
                        const std::string& path, TransportChoice transportChoice) {
    standIn.programId = entry.id;
    FamilyCheck check;
    check.id = entry.id;
    check.examined = Examines(entry.kind);
    if (!CDISCFLASHDlg::ProcedureForKind(entry.kind)) {
        check.reason = "no download procedure for this family yet, neither accepted nor refused";
        return check;
    }

    SilentUi ui;
    {
        EmulatedSession session(entry.id, {standIn}, transportChoice, ui);
        CDISCFLASHDlg dlg;
        dlg.m_strFirmwarePath = path;
        if (dlg.OnInitDialog())
            dlg.OnOK();
        else
            check.reason = "its emulated drive was not found";
        check.quit = dlg.IsClosed();
        if (!check.quit) dlg.OnCancel();

        check.messages = ui.messages;
        check.notes = ui.notes;
        switch (dlg.LastOutcome()) {
            case Outcome::Succeeded:
                check.verdict = FamilyCheck::Verdict::Accepted;
                break;
            case Outcome::Failed:
                check.verdict = FamilyCheck::Verdict::Refused;
                break;
            case Outcome::NothingDone:
                if (check.reason.empty()) check.reason = "nothing was done";
                break;
        }
        check.bytes = dlg.m_imageLength;
        check.identity = dlg.m_imageIdentity;
        for (const LoggedCommand& c : session.Port().Drive(0).Log())
            if (IsImageWrite(c)) ++check.pieces;
    }
    return check;
}

// Each text in quotes, a line break as a blank; bytes a terminal would not show (an image's
// bytes quoted by a message) as \xHH.
std::string Quoted(const std::vector<std::string>& texts) {
    std::string s;
    for (const std::string& t : texts) {
        s += s.empty() ? "\"" : ", then \"";
        for (unsigned char c : t) {
            if (c == '\n') {
                s += ' ';
            } else if (c < 0x20 || c >= 0x7F) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                s += hex;
            } else {
                if (c == '"' || c == '\\') s += '\\';
                s += static_cast<char>(c);
            }
        }
        s += '"';
    }
    return s;
}

// A stand-in of the drive for its family: its identity and revision, in its loader or not.
EmulatedDriveSpec StandIn(const ProgramEntry& family, const DriveRecord& drive) {
    EmulatedDriveSpec spec;
    const std::string revision(reinterpret_cast<const char*>(drive.inquiry + 32), 4);
    spec.loader = InItsLoader(family, drive.inquiry);
    if (spec.loader) {
        spec.loaderRevision = revision;
    } else {
        spec.identity.assign(drive.IdentityText(), 24);
        spec.revision = revision;
    }
    return spec;
}

}  // namespace

std::vector<FamilyCheck> CheckImage(const std::string& path, const std::string& onlyId,
                                    TransportChoice transportChoice) {
    std::vector<FamilyCheck> checks;
    const ProgramEntry* only = FindProgramEntry(onlyId.c_str());
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& entry = kProgramTable[i];
        if (only && only != &entry) continue;
        checks.push_back(CheckFamily(entry, {}, path, transportChoice));
    }
    return checks;
}

std::string CheckLine(const FamilyCheck& c) {
    char head[16];
    std::snprintf(head, sizeof head, "%-8s ", c.id.c_str());
    switch (c.verdict) {
        case FamilyCheck::Verdict::Accepted: {
            std::string sent = std::to_string(c.bytes) + " bytes in " + std::to_string(c.pieces) +
                               (c.pieces == 1 ? " piece" : " pieces");
            if (!c.examined) return head + ("accepted, content not examined: " + sent);
            std::string line = head + ("accepted: " + sent);
            if (!c.identity.empty()) line += ", identity \"" + c.identity + "\"";
            return line;
        }
        case FamilyCheck::Verdict::Refused:
            return head + ("refused: " + Quoted(c.messages)) +
                   (c.quit ? " (the program would end here)" : "");
        case FamilyCheck::Verdict::NotChecked:
            break;
    }
    return head + ("not checked: " + c.reason) +
           (c.messages.empty() ? "" : " (" + Quoted(c.messages) + ")");
}

void PrintCheckNotes(const std::vector<FamilyCheck>& checks) {
    std::vector<std::string> printed;
    for (const FamilyCheck& c : checks)
        for (const std::string& n : c.notes) {
            if (std::find(printed.begin(), printed.end(), n) != printed.end()) continue;
            printed.push_back(n);
            std::fprintf(stderr, "note: %s\n", n.c_str());
        }
}

int CheckStatus(const std::vector<FamilyCheck>& checks) {
    for (const FamilyCheck& c : checks)
        if (c.verdict == FamilyCheck::Verdict::Accepted && c.examined) return 0;
    return 1;
}

int RunDriveCheck(const Options& o, UiPort* (*wrapUi)(UiPort*)) {
    SetStopAtOnce(true);
    const std::string title = rt().appTitle;  // the stand-in's run starts the process afresh
    SilentUi silent;
    rt().ui = wrapUi(&silent);
    bool found = false;
    DriveRecord drive;
    if (InitTransport()) {
        driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
        found = driveCount > 0 && !driveTable[0].node.empty();
        if (found) drive = driveTable[0];
    }
    ReleaseAspiLibrary();
    PrintScanSaid(silent);
    const std::string named = o.devices.empty() ? "the emulated drive" : o.devices[0];
    if (!found || strnlen(drive.IdentityText(), 24) == 0) {
        std::fprintf(stderr, "%s: %s: no CD/DVD drive answered there\n", title.c_str(),
                     TerminalText(named).c_str());
        return kExitRefused;
    }

    const std::string head =
        TerminalText(drive.node) + " \"" +
        Printable(std::string(drive.IdentityText(), strnlen(drive.IdentityText(), 24))) + "\" ";
    const ProgramEntry* family = CommandLineFamily(drive.inquiry);
    if (!family) {
        std::printf("%sbelongs to no known drive family: not checked\n", head.c_str());
        return kExitNothingDone;
    }
    const std::vector<FamilyCheck> checks = {
        CheckFamily(*family, StandIn(*family, drive), o.firmwarePath, o.transport)};
    std::printf("%s%s\n", head.c_str(), CheckLine(checks[0]).c_str());
    std::fflush(stdout);
    PrintCheckNotes(checks);
    return checks[0].verdict == FamilyCheck::Verdict::Accepted ? kExitOk : kExitFailed;
}
