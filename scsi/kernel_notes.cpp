#include "scsi/kernel_notes.h"

#include <cerrno>
#include <cstdio>

#include "system/errno_name.h"
#include "system/runtime.h"

namespace {

std::vector<UnopenedNode> g_unopened;

std::string Opcode(const CommandRequest& r) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", r.cdb[0]);
    return b;
}

std::string Seconds(unsigned ms) {
    return std::to_string((ms + 999) / 1000) + " s";
}

const char* const kWaitThenResearch =
    "The drive may still be busy, or may have hung: give it a few minutes, then use Research; if "
    "it no longer answers, switch it off and on.";

}  // namespace

bool DriveVanished(int err, uint8_t hostStatus) {
    return err == ENODEV || err == ENXIO || hostStatus == kDidNoConnect;
}

void NoteCommandOutcome(const CommandRequest& r, const CommandOutcome& s, const std::string& node) {
    // Most commands end well: nothing is built for them, so a command costs no allocation.
    if (!s.sent || (!s.err && !s.gaveUpAfterMs && s.host == 0)) return;
    const std::string command = node + ": command " + Opcode(r);
    if (DriveVanished(s.err, s.host)) {
        const std::string how = s.err ? "the kernel answered " + ErrnoText(s.err)
                                      : "the host status was " + HostStatusName(s.host);
        Note(node + ": the drive is gone: to command " + Opcode(r) + " " + how +
             ". It was unplugged or switched off, or the kernel removed it. Nothing more is sent "
             "to it. Check its cable and power, then use Research (or start the program again) "
             "to list the drives that are there.");
    } else if (s.gaveUpAfterMs) {
        Note(command + " got no answer within the program's limit of " + Seconds(s.gaveUpAfterMs) +
             ": the program stopped waiting for it (the error record holds FF bytes). " +
             kWaitThenResearch);
    } else if (s.err) {
        std::string hint;
        if (s.err == EINVAL || s.err == ENOMEM)
            hint = " The kernel refuses a request it cannot map, such as a transfer of " +
                   std::to_string(r.Moving()) + " bytes beyond what the drive's queue takes.";
        else if (s.err == EPERM || s.err == EACCES)
            hint =
                " The block layer lets WRITE BUFFER and vendor commands through only to a "
                "process with CAP_SYS_RAWIO.";
        Note(command + " was refused by the kernel: " + ErrnoText(s.err) + "." + hint);
    } else if (s.host == kDidTimeOut) {
        Note(command + " timed out: the kernel gave up on it after " + Seconds(r.timeoutMs) +
             " without an answer from the drive; host status " + HostStatusName(s.host) + ". " +
             kWaitThenResearch);
    } else if (s.host != 0) {
        Note(command + " failed in the host adapter or its driver: host status " +
             HostStatusName(s.host) + "; the drive's own status says nothing of it.");
    }
}

void NoteAbandoned(const CommandRequest& r, const std::string& node) {
    Note(node + ": the drive had not finished command " + Opcode(r) +
         " when the program stopped waiting for it; it may still be carrying it out. Leave it "
         "switched on, give it a few minutes, then use Research.");
}

void NoteRightsGrant() {
    const std::string program = rt().programFile.empty() ? "PROGRAM" : rt().programFile;
    Note(
        "the block layer lets WRITE BUFFER and vendor commands through /dev/srN only to a "
        "process with the CAP_SYS_RAWIO capability. Use --transport=sg, which needs only "
        "read-write access to the drive's /dev/sgN (for example membership of its group); or "
        "grant the capability to the program with `sudo setcap cap_sys_rawio+ep " +
        program +
        "` and start it again (its names are links to that file; replacing the file drops the "
        "capability); or run it as root.");
}

void NoteOpenFailure(const std::string& path, int err, bool listing) {
    if (listing) g_unopened.push_back({path, err});
    std::string advice;
    switch (err) {
        case EBUSY:
            advice =
                "another program holds the drive exclusively (a burning or ripping program, "
                "or a mount). `fuser -v " +
                path + "` names it; close it or unmount the disc, then try again.";
            break;
        case EACCES:
        case EPERM: {
            std::string group = rt().devices ? rt().devices->NodeGroup(path) : std::string();
            advice = "this user may not open it read-write. ";
            advice += group.empty() ? "Give the user read-write access to it, or run as root."
                                    : "It belongs to the group '" + group +
                                          "': add the user to it with `sudo usermod -aG " + group +
                                          " $USER` and log in again, or run as root.";
            break;
        }
        case ENOENT:
            advice =
                "there is no such node: the drive is not attached, or its driver (sr_mod "
                "for /dev/srN, sg for /dev/sgN) is not loaded.";
            break;
        case ENXIO:
        case ENODEV:
            advice =
                "no drive answers behind the node any more: it was unplugged or switched "
                "off. Check it, then use Research.";
            break;
        default:
            break;
    }
    Note("cannot open " + path + ": " + ErrnoText(err) + (advice.empty() ? "" : "; " + advice));
}

void NoteIgnoredDevice(const std::string& path, const std::string& why) {
    Note("--device=" + path + " is ignored: " + why + ".");
}

std::vector<UnopenedNode>& UnopenedNodes() {
    return g_unopened;
}

int OpenTwice(const std::string& path, bool listing, const NodeOpener& open, std::string& held) {
    int err = ENODEV;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt) SleepMs(1500);
        err = ENODEV;
        held.clear();
        const int handle = open(err, held);
        if (handle >= 0) return handle;
    }
    char msg[64];
    std::snprintf(msg, sizeof msg, "CreateFile Err %d", err);
    if (err != EBUSY) held.clear();
    NoteOpenFailure(held.empty() ? path : held, err, listing);
    ShowMessage(msg);
    return -1;
}

std::string HeldDriveText(const std::string& node, bool generic) {
    std::string who = generic ? "Another program has " + node + " open"
                              : node + " is mounted, or another program holds it open exclusively";
    return "The drive is in use: " + who +
           " (a burning or ripping program, a drive tool, another download, or a command of an "
           "earlier download that the drive has not finished).\nNothing was sent to the drive. "
           "Close that program or unmount the disc (`fuser -v " +
           node + "` names the program), then press DownLoad again.";
}
