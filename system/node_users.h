// Who else has a drive's nodes open, and which node is the drive's other one: what a user wants
// to know before a download, since another program's commands reach the drive between ours.
#pragma once

#include <string>
#include <vector>

#include "system/ports.h"

// The processes under `procRoot` ("/proc") other than `self` that have one of `nodes` open, in
// ascending PID, each once: /proc/PID/fd's links name the files, /proc/PID/comm the process. A
// process whose entries cannot be read (another user's, or one that has just ended) is left out.
std::vector<NodeUser> ProcessesWithOpen(const std::string& procRoot,
                                        const std::vector<std::string>& nodes, int self);

// The node of class `cls` at the SCSI address host:channel:target:lun (/dev/sg1 for /dev/sr0);
// empty when the port lists none there.
std::string TwinNode(DevicePort& port, NodeClass cls, int host, int channel, int target, int lun);

// "PID 812 (vlc), PID 1040 (cdrom_id)"; bytes of a name a terminal would act on as \xNN.
std::string UsersText(const std::vector<NodeUser>& users);
