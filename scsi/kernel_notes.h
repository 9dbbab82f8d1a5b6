// What the kernel's answers mean to a Linux user: the notes beside the boxes, whose texts stay as
// they are. The boxes tell that a command failed; these tell why, and what to do about it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scsi/command.h"

// A drive that is gone (unplugged, switched off, removed by the kernel) says so through the
// errno of a call on its node, or through the host status of the command it took with it.
bool DriveVanished(int err, uint8_t hostStatus);

// Notes what the kernel said of a command beyond the drive's own status: a vanished drive, a
// time-out, a refused call, a host adapter error. Commands that were not sent say nothing.
void NoteCommandOutcome(const CommandRequest& request, const CommandOutcome& outcome,
                        const std::string& node);

// Notes that a command started without waiting was given up before it ended.
void NoteAbandoned(const CommandRequest& request, const std::string& node);

// Notes how to get the right to send WRITE BUFFER and vendor commands through /dev/srN.
void NoteRightsGrant();

// Notes why a node could not be opened, with the way to get at it; remembered for the
// not-found note when `listing`.
void NoteOpenFailure(const std::string& path, int err, bool listing);

// The nodes the last listing could not open, with the errno.
struct UnopenedNode {
    std::string path;
    int err;
};
std::vector<UnopenedNode>& UnopenedNodes();

// --device=PATH names no node of the transport: the path and why are noted.
void NoteIgnoredDevice(const std::string& path, const std::string& why);

// Opens a node through `open` (a handle, or -1 with errno and, on EBUSY, the node found held),
// once more 1500 ms after a failure; then "CreateFile Err N", the note, and -1 with `held` naming
// the node another program holds when that was why. `listing` as for NoteOpenFailure.
using NodeOpener = std::function<int(int& err, std::string& held)>;
int OpenTwice(const std::string& path, bool listing, const NodeOpener& open, std::string& held);

// A download holds its drive against other programs (DevicePort::OpenExclusive); when another
// program holds it first, DownLoad says so in these words and sends nothing. `node` is the node
// found held: the drive's block device (/dev/srN), or its generic node (/dev/sgN) when `generic`.
std::string HeldDriveText(const std::string& node, bool generic);
