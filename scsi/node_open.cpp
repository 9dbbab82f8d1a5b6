#include "scsi/node_open.h"

#include <cerrno>
#include <cstdio>

#include "scsi/kernel_notes.h"
#include "system/runtime.h"

int OpenTwice(const std::string& path, bool listing, const NodeOpener& open, std::string& held) {
    int err = ENODEV;
    held.clear();
    int handle = open(err, held);
    if (handle >= 0) return handle;
    SleepMs(kOpenRetryMs);
    err = ENODEV;
    held.clear();
    handle = open(err, held);
    if (handle >= 0) return handle;
    char msg[64];
    std::snprintf(msg, sizeof msg, "CreateFile Err %d", err);
    ShowMessage(msg);
    if (err != EBUSY) held.clear();
    NoteOpenFailure(held.empty() ? path : held, err, listing);
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
