// The families whose loader takes the whole image into its buffer and gives it back from there.
#include "emu/families.h"

namespace {

constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kSwitchProgram = 0xCC;
constexpr uint8_t kDownloadAndSave = 0x05;
constexpr uint8_t kLastPiece = 1;  // the buffer id of an image's last piece
constexpr size_t kHeader = 32;     // READ BUFFER of buffer 1 returns the image from here on

}  // namespace

bool RunImageLoaderDrive(DriveState& d, const DriveCommand& cmd, DriveReply& r) {
    const uint8_t* c = cmd.cdb;
    if (!d.inLoader) return false;
    switch (c[0]) {
        case kWriteBuffer:
            if (c[1] != kDownloadAndSave) return false;
            r = WriteIntoBuffer(d, cmd);
            if (r.status == 0 && c[2] == kLastPiece) StoreBuffer(d);
            return true;
        case kReadBuffer:
            if (c[2] != 1) return false;
            r = ReadFromBuffer(d, cmd, kHeader);
            return true;
        case kSwitchProgram:
            // An image sent without a last piece is kept when the loader is left.
            if (d.bufferEnd) StoreBuffer(d);
            return false;
        default:
            return false;
    }
}
