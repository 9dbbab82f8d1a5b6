// Media auto-insert control for the dual generic mode. On Linux a drive's "auto-insert
// notification" is the kernel's media polling of its block device, which desktop automounting
// follows; it is read and changed through the host-settings port (rt().hostSettings).
#pragma once

#include <string>
#include <vector>

#include "scsi/scsi_types.h"

// CheckAutoInsert's answers.
constexpr int kAutoInsertSwitchedOff = 0;  // the machine must restart before the program goes on
constexpr int kAutoInsertGoOn = 1;         // nothing to do, or the user declined
// The user agreed but a drive could not be switched off; the cause has been shown. Asking for
// a restart now would tell the user a failed switch-off worked: the program must stop instead.
constexpr int kAutoInsertNotSwitched = -1;

// Asks once, when a listed drive of an affected model is polled, whether to switch polling
// off; on Yes switches it off for every listed drive of those models.
int CheckAutoInsert();

// A drive of the two models whose polling must be off while they are reprogrammed.
bool IsAffectedModel(const DriveRecord& drive);
// 1 when the drive's block device is polled, 0 when not, -1 when the host does not tell (no
// block device, an unreadable setting).
int MediaPolling(const DriveRecord& drive);
// 1 when the drive's block device is polled; a drive without one counts as off.
inline int IsAutoInsertOn(const DriveRecord& drive) {
    return MediaPolling(drive) == 1 ? 1 : 0;
}
// Polling off now for every listed drive of an affected model, and a persistent rule that keeps
// it and desktop automount off for their models. False with the cause in `why`.
bool SwitchAutoInsertOff(std::string& why);

// --restore-polling: lists the drives of the transport, then the rule goes and polling is back
// at the kernel default for the listed drives of the affected models, whose block devices come
// back in `blocks`. False with the cause in `why` when a step failed.
bool RestoreAutoInsert(std::vector<std::string>& blocks, std::string& why);
