// The CD-RW families that take a raw ROM image (kinds 1, 2, 3): no loader and no read-back. The
// running firmware takes the image in WRITE BUFFER pieces and stores it on the last one; after
// its settling time the drive must report the identity the image carries.
#include "download/rom_image.h"

#include <cstring>
#include <string>
#include <vector>

#include "download/frame.h"
#include "download/pieces.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr uint8_t kTaggedKind = 2;
constexpr uint8_t kPollInquiryLength = 32;
constexpr int32_t kPollPauseSeconds = 2;

// The tag of the running firmware: two bytes at its ROM address 0x3FFF8.
Cdb RomTagRead() {
    return Cdb{{0xCF, 0x00, 0x00, 0x00, 0x23, 0xFF, 0xF8, 0x00, 0x02}};
}

// True when the drive's tag equals the two image bytes; a drive that does not answer gets
// "CF NG" under the application title.
bool CheckRomTag(uint8_t first, uint8_t second) {
    uint8_t tag[2] = {};
    if (!ExecCommandEx(1, XFER_IN, RomTagRead().data(), tag, sizeof tag)) {
        ShowMessage("CF NG", "", MB_OK);
        return false;
    }
    return tag[0] == first && tag[1] == second;
}

void WaitCursor(bool on) {
    if (rt().ui) rt().ui->SetWaitCursor(on);
}

}  // namespace

void CDISCFLASHDlg::DownloadRomImage() {
    const ProcedureFrame& frame = kFrameRomImage;
    const FileStageMessages& messages = frame.messages;

    // the image, sent as the file holds it
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    if (!LearnImageLength(frame)) return ReportOutcome(Outcome::Failed);
    const uint32_t L0 = m_imageLength;
    if (!AllocateImage(frame.bufferSize, messages) || !ReadImage(frame.padOdd, messages))
        return ReportOutcome(Outcome::Failed);
    uint8_t* image = m_imageBuffer.get();

    // the identity the new firmware will report, from the second half of the image
    uint32_t at = 0;
    if (!FindRomIdentity(image, L0, currentGroup, currentGroupCount, m_nCompareLength, at))
        return Fail(kInvalidFormat, kHlvCaption);
    const std::string expected(reinterpret_cast<const char*>(image) + at,
                               static_cast<size_t>(m_nCompareLength));
    m_imageIdentity = expected;

    // Every piece fits the transport.
    const std::vector<Piece> plan = PlanPieces(L0, kRomPieceSize);
    if (!CheckTransferLimit(LargestPiece(plan), kHlvCaption)) return;

    // kind 2: the image must suit the drive's hardware, unless the drive reports the first
    // identity of its group
    if (m_nKind == kTaggedKind && !m_bGroupFirstMatch &&
        !CheckRomTag(image[kRomTagOffset], image[kRomTagOffset + 1]))
        return Fail(kInvalidFormat, kHlvCaption);

    // the drive must be ready
    uint8_t inquiry[36];
    if (!Inquire(inquiry, sizeof inquiry)) return Fail("Drive not ready", kHlvCaption);

    // write the image in pieces; the drive stores it with the last one
    const int32_t pieces = static_cast<int32_t>(plan.size());
    ProgressBegin(pieces);
    for (const Piece& p : plan) {
        PumpMessages();
        const bool last = &p == &plan.back();
        Cdb write =
            WriteBufferCdb(last ? kModeDownloadAndSave : kModeWriteData, 0, p.offset, p.length);
        if (!ExecCommand(write.data(), image + p.offset, p.length))
            return Fail("Down Load fault", kHlvCaption, MB_OK);
        ProgressAdvance();
    }
    ProgressEnd(pieces);

    // the drive restarts with the new firmware
    WaitCursor(true);
    SettleWait(settleSeconds);
    if (m_bGroupFirstMatch) {
        WaitCursor(false);
        ReportVerdict(true);
        ReleaseImage();
        return ProgressEnd(0);
    }

    // and must come back with the identity the image carries
    uint8_t reply[kPollInquiryLength] = {};
    const bool reported = PollIdentity(reply, expected, kPollInquiryLength, kPollPauseSeconds);
    WaitCursor(false);
    ReportVerdict(reported);
    ReleaseImage();
    ProgressEnd(0);
}
