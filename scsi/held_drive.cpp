#include "scsi/held_drive.h"

std::string HeldDriveText(const std::string& node, bool generic) {
    std::string who = generic ? "Another program has " + node + " open"
                              : node + " is mounted, or another program holds it open exclusively";
    return "The drive is in use: " + who +
           " (a burning or ripping program, a drive tool, another download, or a command of an "
           "earlier download that the drive has not finished).\nNothing was sent to the drive. "
           "Close that program or unmount the disc (`fuser -v " +
           node + "` names the program), then press DownLoad again.";
}
