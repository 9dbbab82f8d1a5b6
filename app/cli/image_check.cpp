#include "app/cli/image_check.h"

#include <algorithm>
#include <cstdio>

#include "drives/main_dialog.h"
#include "emu/emulated_session.h"
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

// The image from the command line, as `LDxxxx --batch --emulate=LDxxxx IMAGE` would take it.
FamilyCheck CheckFamily(const ProgramEntry& entry, const std::string& path,
                        TransportChoice transportChoice) {
    FamilyCheck check;
    check.id = entry.id;
    check.examined = Examines(entry.kind);
    if (!CDISCFLASHDlg::ProcedureForKind(entry.kind)) {
        check.reason = "no download procedure for this family yet, neither accepted nor refused";
        return check;
    }

    EmulatedDriveSpec spec;
    spec.programId = entry.id;
    SilentUi ui;
    {
        EmulatedSession session(entry.id, {spec}, transportChoice, ui);
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

}  // namespace

std::vector<FamilyCheck> CheckImage(const std::string& path, const std::string& onlyId,
                                    TransportChoice transportChoice) {
    std::vector<FamilyCheck> checks;
    const ProgramEntry* only = FindProgramEntry(onlyId.c_str());
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& entry = kProgramTable[i];
        if (only && only != &entry) continue;
        checks.push_back(CheckFamily(entry, path, transportChoice));
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

std::vector<std::string> CheckNotes(const std::vector<FamilyCheck>& checks) {
    std::vector<std::string> notes;
    for (const FamilyCheck& c : checks)
        for (const std::string& n : c.notes)
            if (std::find(notes.begin(), notes.end(), n) == notes.end()) notes.push_back(n);
    return notes;
}

int CheckStatus(const std::vector<FamilyCheck>& checks) {
    for (const FamilyCheck& c : checks)
        if (c.verdict == FamilyCheck::Verdict::Accepted && c.examined) return 0;
    return 1;
}
