// The CD-RW families reprogrammed through their loader.
#include <algorithm>
#include <cstring>

#include "emu/families.h"

namespace {

constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kDriveData = 0xCE;
constexpr uint8_t kHardwareTag = 0xCF;
constexpr size_t kHeader = 32;  // READ BUFFER of buffer 1 returns the image from here on

void Reply(const std::vector<uint8_t>& bytes, size_t n, const DriveCommand& cmd, DriveReply& r) {
    r.dataIn = Fitted(bytes, std::min(n, cmd.inCapacity));
}

}  // namespace

bool RunLoaderSwitchDrive(DriveState& d, const DriveCommand& cmd, DriveReply& r) {
    const uint8_t* c = cmd.cdb;
    if (!d.inLoader) {
        // The main program tells its hardware tag; everything else is common.
        if (c[0] != kHardwareTag) return false;
        Reply(d.spec.tag, c[8], cmd, r);
        return true;
    }
    switch (c[0]) {
        case kDriveData:
            Reply(d.spec.driveData, c[8], cmd, r);
            return true;
        case kWriteBuffer:
            // Buffer 1 without data: store what the buffer holds.
            if (c[2] != 1 || Be24(&c[6]) != 0) return false;
            StoreBuffer(d);
            return true;
        case kReadBuffer:
            if (c[2] != 1) return false;
            r = ReadFromBuffer(d, cmd, kHeader);
            return true;
        default:
            return false;
    }
}
