#include "app/cli/drive_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/cli/options.h"
#include "app/cli/signals.h"
#include "drives/catalogue.h"
#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/autoinsert.h"
#include "system/errno_name.h"
#include "system/flat_json.h"
#include "system/node_users.h"
#include "system/printable.h"
#include "system/silent_ui.h"
#include "system/trace.h"

namespace {

// INQUIRY bytes [from, from + n), without the zero bytes a short answer leaves at the end.
std::string InquiryBytes(const uint8_t* inquiry, size_t from, size_t n) {
    std::string s(reinterpret_cast<const char*>(inquiry + from), n);
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

bool AllPrintable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// Exact bytes beside a text that is not all printable.
std::string Hex(const std::string& s) {
    return Trace::Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Opens the node as a download would, held against other programs, asks the back end whether
// this process may send firmware commands there, and closes it: nothing is sent.
void JudgeAccess(Backend& backend, ListedDrive& d) {
    int err = 0;
    std::string held;
    if (backend.Open(d.node, err, held) < 0) {
        if (err == EBUSY) {
            d.access = "held";
            d.accessReason = (held.empty() ? d.node : held) +
                             " is held by another program (`fuser -v " +
                             (held.empty() ? d.node : held) + "` names it)";
        } else {
            d.access = err == EACCES || err == EPERM ? "no-rights" : "error";
            d.accessReason = "cannot open " + d.node + ": " + ErrnoText(err);
        }
        return;
    }
    std::string why;
    const bool may = backend.MaySendAnyCommand(why);
    backend.Close();
    d.access = may ? "ok" : "no-rights";
    if (!may) d.accessReason = why;
}

ListedDrive Listed(DevicePort& port, Backend& backend, const DriveRecord& r) {
    ListedDrive d;
    d.node = r.node;
    if (r.host >= 0)
        d.hctl = std::to_string(r.host) + ":" + std::to_string(r.channel) + ":" +
                 std::to_string(r.target) + ":" + std::to_string(r.lunNumber);
    const NodeClass other = IsAspiMode() ? NodeClass::Block : NodeClass::Generic;
    d.otherNode = TwinNode(port, other, r.host, r.channel, r.target, r.lunNumber);
    d.identity = InquiryBytes(r.inquiry, 8, 24);
    d.revision = InquiryBytes(r.inquiry, 32, 4);
    if (!d.identity.empty()) {
        for (const ProgramEntry* e : FamilyEntriesOf(r.inquiry)) {
            d.programs.push_back(e->id);
            d.inLoader = d.inLoader || InItsLoader(*e, r.inquiry);
        }
    }
    JudgeAccess(backend, d);
    std::vector<std::string> nodes = {d.node};
    if (!d.otherNode.empty()) nodes.push_back(d.otherNode);
    d.openBy = port.OpenedBy(nodes);
    const int polling = MediaPolling(r);
    d.polling = polling < 0 ? "unknown" : polling ? "on" : "off";
    return d;
}

std::string Joined(const std::vector<std::string>& texts, const char* separator) {
    std::string s;
    for (const std::string& t : texts) s += (s.empty() ? "" : separator) + t;
    return s;
}

std::string OrDash(const std::string& s) {
    return s.empty() ? "-" : s;
}

void AppendMember(std::string& out, const char* key, const std::string& text) {
    out += std::string(",\"") + key + "\":";
    AppendJsonString(out, text);
}

void AppendOptional(std::string& out, const char* key, const std::string& text) {
    if (text.empty())
        out += std::string(",\"") + key + "\":null";
    else
        AppendMember(out, key, text);
}

}  // namespace

bool ListDrives(std::vector<ListedDrive>& drives) {
    DevicePort* port = rt().devices;
    // The transport's choice of back end is made here.
    if (!port || !InitTransport()) return false;
    Backend* backend = ActiveBackend();
    driveCount = EnumerateDrives(kDriveTableCapacity, driveTable);
    // A block device the scan could not open leaves its entry without a node; the listing's
    // order names it.
    std::vector<DeviceNode> listed;
    if (!IsAspiMode() && std::any_of(driveTable, driveTable + driveCount,
                                     [](const DriveRecord& r) { return r.node.empty(); }))
        listed = ListedNodes(*port, NodeClass::Block);
    for (int i = 0; i < driveCount; ++i) {
        DriveRecord r = driveTable[i];
        if (r.node.empty()) {
            if (static_cast<size_t>(i) >= listed.size()) continue;
            FillRecord(r, listed[static_cast<size_t>(i)], i, nullptr);
        }
        drives.push_back(Listed(*port, *backend, r));
    }
    return true;
}

std::string DriveListTable(const std::vector<ListedDrive>& drives) {
    if (drives.empty()) return "No CD/DVD device found.\n";
    std::vector<std::vector<std::string>> rows = {{"NODE", "OTHER", "H:C:T:L", "IDENTITY", "REV",
                                                   "PROGRAMS", "LOADER", "ACCESS", "POLLING",
                                                   "OPEN BY"}};
    std::string reasons;
    for (const ListedDrive& d : drives) {
        std::string openBy;
        for (const NodeUser& u : d.openBy)
            openBy +=
                (openBy.empty() ? "" : ", ") + std::to_string(u.pid) + " " + TerminalText(u.name);
        rows.push_back({TerminalText(d.node), OrDash(TerminalText(d.otherNode)), OrDash(d.hctl),
                        "\"" + Printable(d.identity) + "\"", "\"" + Printable(d.revision) + "\"",
                        OrDash(Joined(d.programs, ",")), d.inLoader ? "yes" : "no", d.access,
                        d.polling, OrDash(openBy)});
        if (!d.accessReason.empty())
            reasons +=
                TerminalText(d.node) + ": " + d.access + ": " + TerminalText(d.accessReason) + "\n";
    }
    return TextTable(rows) + reasons;
}

std::string DriveListJson(const std::vector<ListedDrive>& drives) {
    std::string out = "{\"drives\":[";
    for (size_t i = 0; i < drives.size(); ++i) {
        const ListedDrive& d = drives[i];
        out += i ? ",{" : "{";
        out += "\"node\":";
        AppendJsonString(out, d.node);
        AppendOptional(out, "other_node", d.otherNode);
        AppendOptional(out, "hctl", d.hctl);
        AppendMember(out, "identity", d.identity);
        if (!AllPrintable(d.identity)) AppendMember(out, "identity_hex", Hex(d.identity));
        AppendMember(out, "revision", d.revision);
        if (!AllPrintable(d.revision)) AppendMember(out, "revision_hex", Hex(d.revision));
        out += ",\"programs\":[";
        for (size_t p = 0; p < d.programs.size(); ++p) {
            if (p) out += ",";
            AppendJsonString(out, d.programs[p]);
        }
        out += std::string("],\"in_loader\":") + (d.inLoader ? "true" : "false");
        AppendMember(out, "access", d.access);
        if (!d.accessReason.empty()) AppendMember(out, "access_reason", d.accessReason);
        out += ",\"open_by\":[";
        for (size_t u = 0; u < d.openBy.size(); ++u) {
            out += (u ? ",{\"pid\":" : "{\"pid\":") + std::to_string(d.openBy[u].pid);
            AppendMember(out, "name", d.openBy[u].name);
            out += "}";
        }
        out += "]";
        AppendMember(out, "polling", d.polling);
        out += "}";
    }
    return out + "]}\n";
}

std::string TextTable(const std::vector<std::vector<std::string>>& rows, const char* indent) {
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(width[c] + 2 - row[c].size(), ' ')
                                       : row[c];
        out += line + "\n";
    }
    return out;
}

void PrintScanSaid(const SilentUi& said) {
    for (std::string m : said.messages) {
        while (!m.empty() && m.back() == '\n') m.pop_back();
        std::fprintf(stderr, "%s: %s\n", rt().appTitle.c_str(), TerminalText(m).c_str());
    }
    std::vector<std::string> noted;
    for (const std::string& n : said.notes) {
        if (std::find(noted.begin(), noted.end(), n) != noted.end()) continue;
        noted.push_back(n);
        std::fprintf(stderr, "note: %s\n", TerminalText(n).c_str());
    }
}

int RunDriveList(const Options& o, UiPort* (*wrapUi)(UiPort*)) {
    SetStopAtOnce(true);
    SilentUi silent;
    rt().ui = wrapUi(&silent);
    std::vector<ListedDrive> drives;
    const bool listed = ListDrives(drives);
    PrintScanSaid(silent);
    if (!listed) return kExitFailed;
    std::fputs((o.json ? DriveListJson(drives) : DriveListTable(drives)).c_str(), stdout);
    return kExitOk;
}
