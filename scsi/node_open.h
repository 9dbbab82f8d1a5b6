// Opening a drive's node, the way both back ends' rules have it: a second attempt after a pause,
// then "CreateFile Err N" and a note on why. A download holds its drive against other programs
// (DevicePort::OpenExclusive); when another program holds it first, DownLoad says so in the
// held-drive text and sends the drive nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr uint32_t kOpenRetryMs = 1500;

// Opens through `open` (a handle, or -1 with errno and, on EBUSY, the node found held), tried
// once more kOpenRetryMs later; -1 once both failed and were said, `held` naming the node another
// program holds when that was why. `listing`: the list's open, remembered for the not-found note.
using NodeOpener = std::function<int(int& err, std::string& held)>;
int OpenTwice(const std::string& path, bool listing, const NodeOpener& open, std::string& held);

// `node` is the node found held: the drive's block device (/dev/srN), or its generic node
// (/dev/sgN) when `generic`.
std::string HeldDriveText(const std::string& node, bool generic);
