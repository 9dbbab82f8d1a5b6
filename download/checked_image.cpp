// The CD-RW family of kind 16 and the DVD-ROM family of kind 32: the image must name a drive of
// the group in its later part and pass its kind's sum; the loader takes it in 32 KiB pieces once
// it is 64 KiB or more, gives it back for comparison, and the drive returns to its main program.
#include "download/checked_image.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "download/frame.h"
#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr char kNg007Caption[] = "HLV OWNLOAD";  // sic: the caption of this one message
constexpr uint32_t kInquiryArea = 1024;
constexpr uint32_t kAfterSwitchMs = 500;
constexpr uint32_t kBeforeEndMs = 100;
constexpr int kClosingTestUnitReadies = 5;
// Images are sent and read in pieces from this file length on.
constexpr uint32_t kChunkedFrom = 65536;

// The drive's identity above the one expected, each line 24 characters wide.
std::string TwoIdentities(const uint8_t* inquiry, const IdentityGroup* group) {
    char drive[25] = {}, loader[25] = {};
    std::copy_n(inquiry + 8, 24, drive);
    if (group) std::copy_n(group->text, 24, loader);
    char text[64];
    std::snprintf(text, sizeof text, "%24.24s\n%24.24s", drive, loader);
    return text;
}

}  // namespace

void CDISCFLASHDlg::DownloadCheckedImage() {
    const ProcedureFrame& frame = kFrameCheckedImage;

    // the image
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    PumpMessages();
    if (!LearnImageLength(frame)) return ReportOutcome(Outcome::Failed);
    const uint32_t L0 = m_imageLength;
    if (!AllocateImage(frame.bufferSize, frame.messages) ||
        !ReadImage(frame.padOdd, frame.messages))
        return ReportOutcome(Outcome::Failed);
    PumpMessages();
    uint8_t* image = m_imageBuffer.get();
    const uint32_t S = m_imageLength;

    // it names a drive of the group, not before its second quarter (the pad byte is never part
    // of the search)
    IdentityHit hit;
    if (!SearchGroupIdentity(image, L0 / 4, L0, currentGroup, currentGroupCount, m_nCompareLength,
                             hit))
        return Fail(kInvalidFormat, kHlvCaption);
    m_imageIdentity.assign(reinterpret_cast<const char*>(image + hit.offset),
                           static_cast<size_t>(m_nCompareLength));
    PumpMessages();

    // the kind's sum
    const int sum = m_nKind == 16   ? CheckSplitAreaSums(image, S)
                    : m_nKind == 32 ? CheckHeaderWordSum(image, S)
                                    : -1;
    if (sum > 0) {
        char text[40];
        std::snprintf(text, sizeof text, "Down Load fault(CheckSum%02d)", sum);
        ShowMessage(text, kHlvCaption, MB_ICONHAND);
    }
    if (sum != 0) return Fail("Down Load fault(NG-005)", kHlvCaption);
    PumpMessages();

    const bool chunked = L0 >= kChunkedFrom;
    const std::vector<Piece> write =
        PlanTransfer(TransferForm::Writing, S, chunked ? kTransferPieceSize : S);
    const std::vector<Piece> read =
        PlanTransfer(TransferForm::Reading, S, chunked ? kTransferPieceSize : S - kImageHeaderSize);
    if (!CheckTransferLimit(std::max(LargestPiece(write), LargestPiece(read)), kHlvCaption)) return;

    LoaderSide loader(*this, m_bFirstIdentity != 0);
    auto fail = [&](const char* text) {
        Fail(text, kHlvCaption);
        loader.Leave();
    };
    uint8_t inquiry[kInquiryArea];

    // the drive answers
    const bool answered = Inquire(inquiry, kInquiryArea);
    PumpMessages();
    if (!answered) return fail("Down Load fault(NG-006)");

    // switch the drive into its loader, unless it runs it already
    if (!m_bFirstIdentity) {
        if (!loader.Enter()) return Fail("Down Load fault(NG-007)", kNg007Caption);
        SleepMs(kAfterSwitchMs);
        const bool again = Inquire(inquiry, kInquiryArea);
        PumpMessages();
        if (!again) return fail("Down Load fault(NG-008)");
    }

    // the loader is the group's
    if (!ReportsFirstIdentity(inquiry, currentGroup, m_nCompareLength)) {
        ShowMessage("Down Load fault(NG-009)", kHlvCaption, MB_ICONHAND);
        return fail(TwoIdentities(inquiry, currentGroup).c_str());
    }
    PumpMessages();

    // write the image
    const int32_t chunks = static_cast<int32_t>(S / kTransferPieceSize + 1);
    ProgressBegin(chunks);
    if (!TransferPieces(TransferForm::Writing, write, image, m_imageBufferSize))
        return Fail("Down Load fault(NG-00B)", kHlvCaption);
    ProgressEnd(chunks);

    // read it back and compare
    ProgressBegin(chunks);
    if (!TransferPieces(TransferForm::Reading, read, readBackBuffer, kReadBackBufferSize))
        return Fail("Down Load fault(NG-00C)", kHlvCaption);
    ProgressEnd(chunks);
    if (!VerifyReadBack(S, image + kImageHeaderSize, readBackBuffer)) {
        ReportOutcome(Outcome::Failed);
        loader.Leave();
        return ReleaseImage();
    }

    // back to the main program
    for (int i = 0; i < kClosingTestUnitReadies; ++i)
        if (TestUnitReady()) break;
    loader.Leave();
    SleepMs(kBeforeEndMs);
    ReleaseImage();
    ShowMessage("Down Load complete", kHlvCaption, MB_OK);
    ReportOutcome(Outcome::Succeeded);
}
