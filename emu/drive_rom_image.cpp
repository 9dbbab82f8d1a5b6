// The CD-RW families that take a raw ROM image: the running firmware stores what its buffer
// holds when the download-and-save piece arrives, restarts, and comes back as the new firmware.
#include <algorithm>
#include <string>
#include <vector>

#include "download/pieces.h"
#include "download/rom_image.h"
#include "drives/catalogue.h"
#include "emu/families.h"

namespace {

constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kRomTag = 0xCF;
constexpr uint32_t kRomTagAddress = 0x23FFF8;  // where the firmware keeps its tag
constexpr size_t kIdentityLength = 24;         // INQUIRY bytes 8-31

// The new firmware: its tag, and the identity it carries where the download finds it (bytes
// past the image read as blanks). A stored image without one leaves the identity as it was.
void Restart(DriveState& d, const ProgramEntry& entry, uint64_t nowMs) {
    const std::vector<uint8_t>& rom = d.firmware;
    const size_t size = rom.size();
    d.spec.tag = {size > kRomTagOffset ? rom[kRomTagOffset] : uint8_t{0},
                  size > kRomTagOffset + 1 ? rom[kRomTagOffset + 1] : uint8_t{0}};
    const int32_t compare = CompareLengthOf(entry);
    uint32_t at = 0;
    if (FindRomIdentity(rom.data(), static_cast<uint32_t>(size), entry.group, entry.count, compare,
                        at)) {
        std::string identity(kIdentityLength, ' ');
        for (size_t i = 0; i < kIdentityLength && at + i < size; ++i)
            identity[i] = static_cast<char>(rom[at + i]);
        d.mainIdentity = identity;
    }
    d.notReadyUntilMs = nowMs + static_cast<uint64_t>(entry.settleSeconds) * 1000u;
}

}  // namespace

bool RunRomImageDrive(DriveState& d, const DriveCommand& cmd, DriveReply& r) {
    const uint8_t* c = cmd.cdb;
    const ProgramEntry* entry = FindProgramEntry(d.spec.programId.c_str());
    if (c[0] == kRomTag) {
        if (Be24(&c[4]) != kRomTagAddress) {
            r = SenseReply(0x05, 0x24, 0x00);  // invalid field in CDB
        } else {
            r.dataIn = Fitted(d.spec.tag, std::min<size_t>(c[8], cmd.inCapacity));
        }
        return true;
    }
    if (c[0] != kWriteBuffer || c[1] != kModeDownloadAndSave || !entry) return false;
    r = WriteIntoBuffer(d, cmd);
    if (r.status != 0) return true;
    StoreBuffer(d);
    Restart(d, *entry, cmd.nowMs);
    return true;
}
