// The DVD-RAM family: microcode goes to the running program in pieces, each behind the image's
// header, and a store command that runs for a while makes the drive keep it.
#include <algorithm>
#include <cstring>

#include "emu/families.h"

namespace {

constexpr uint8_t kWriteMicrocode = 0xEA;
constexpr uint8_t kStoreMicrocode = 0xF5;
constexpr size_t kHeader = 48;

}  // namespace

bool RunMicrocodeDrive(DriveState& d, const DriveCommand& cmd, DriveReply& r) {
    const uint8_t* c = cmd.cdb;
    switch (c[0]) {
        case kWriteMicrocode: {
            // With a disc in, the drive will not take microcode.
            if (d.disc) {
                r = SenseReply(0x05, 0x2C, 0x00);
                return true;
            }
            size_t offset = Be24(&c[3]), length = Be24(&c[6]);
            if (length < kHeader || length != cmd.outLength || offset + length > d.buffer.size()) {
                r = SenseReply(0x05, 0x24, 0x00);
                return true;
            }
            // The buffer holds the image as the file does: header, then the microcode.
            std::memcpy(&d.buffer[0], cmd.out, kHeader);
            std::memcpy(&d.buffer[kHeader + offset], cmd.out + kHeader, length - kHeader);
            d.bufferEnd = std::max(d.bufferEnd, offset + length);
            r.outUsed = length;
            return true;
        }
        case kStoreMicrocode:
            StoreBuffer(d);
            r.busyMs = static_cast<uint32_t>(d.spec.storeSeconds) * 1000u;
            d.notReadyUntilMs = cmd.nowMs + r.busyMs;
            return true;
        default:
            return false;
    }
}
