// A download holds its drive against other programs (DevicePort::OpenExclusive). When another
// program holds it first, DownLoad says so, in these words, and sends the drive nothing.
#pragma once

#include <string>

// `node` is the node found held: the drive's block device (/dev/srN), or its generic node
// (/dev/sgN) when `generic`.
std::string HeldDriveText(const std::string& node, bool generic);
