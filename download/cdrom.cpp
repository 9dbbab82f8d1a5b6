// The DVD-ROM family whose loader reports an identity of its own (kind 34): the image's sum is
// checked, the drive switched into its loader, the image written in one command, read back and
// compared, and the drive returned to its main program.
#include "download/cdrom.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr char kHlvCdRomCaption[] = "HLV CD-ROM DOWNLOAD";
constexpr char kBufferFault[] = "Down Load fault(CD-00Z)";

constexpr uint32_t kInquiryArea = 1024;
constexpr uint32_t kInquiryHost = 36;
constexpr uint32_t kAfterSwitchMs = 100;
constexpr uint32_t kBeforeEndMs = 100;
constexpr int kClosingTestUnitReadies = 5;
// The bar's position after the read-back, whatever its range: it shows full.
constexpr int32_t kReadBackFull = 100;

constexpr CdRomFlow kCdRomDownload{kFrameCdRom, true, true, kInquiryArea};

}  // namespace

void CDISCFLASHDlg::DownloadCdRom() {
    DownloadCdRomFlow(kCdRomDownload);
}

void CDISCFLASHDlg::DownloadCdRomFlow(const CdRomFlow& flow) {
    const ProcedureFrame& frame = flow.frame;
    auto stage = [&](const char* text) {
        if (!flow.stageLine) return;
        SetStage(text);
        PumpMessages();
    };

    // the image
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    PumpMessages();
    if (!LearnImageLength(frame.messages) || !CheckImageLength(frame))
        return ReportOutcome(Outcome::Failed);
    const bool allocated = AllocateImage(frame.bufferSize, frame.messages);
    stage(kStageClear);
    if (!allocated || !ReadImage(frame.padOdd, frame.messages))
        return ReportOutcome(Outcome::Failed);
    PumpMessages();
    uint8_t* image = m_imageBuffer.get();
    const uint32_t S = m_imageLength;
    const int32_t chunks = static_cast<int32_t>(S / kTransferPieceSize + 1);
    const std::vector<Piece> write = {{0, S, 1}};
    const std::vector<Piece> read = PlanTransfer(TransferForm::Reading, S, S - kImageHeaderSize);

    // the image's own sum
    if (flow.checksum) {
        stage("CehckSUM.... ");
        if (!CheckCdRomImageSum(image, S)) return Fail("Down Load fault(CD-005)", kCdRomCaption);
    }
    if (!CheckTransferLimit(std::max(LargestPiece(write), LargestPiece(read)), kCdRomCaption))
        return;

    LoaderSide loader(*this, m_bFirstIdentity != 0);
    auto fail = [&](const char* text, const char* caption = kCdRomCaption) {
        Fail(text, caption);
        loader.Leave();
    };
    uint8_t inquiry[kInquiryArea];

    // the drive answers
    stage("Change to Loader.... ");
    const bool answered = Inquire(inquiry, kInquiryHost);
    PumpMessages();
    if (!answered) return fail("Down Load fault(CD-006)");

    // switch the drive into its loader, unless it runs it already
    if (!m_bFirstIdentity) {
        if (!loader.Enter()) return fail("Down Load fault(CD-007)", kHlvCdRomCaption);
        PumpMessages();
        SleepMs(kAfterSwitchMs);
        const bool again = Inquire(inquiry, kInquiryHost);
        PumpMessages();
        if (!again) return fail("Down Load fault(CD-008)");
        if (!ReportsFirstIdentity(inquiry, currentGroup, kCdRomIdentityLength))
            return fail("Down Load fault(CD-009)");
    }

    // the loader must be the one the image is made for
    stage("CheckLoader.... ");
    if (std::memcmp(inquiry + 8, image, kCdRomIdentityLength) != 0)
        return fail("Down Load fault(CD-00A)");

    // write the image
    ProgressBegin(chunks);
    stage("Write Buffer.... ");
    if (!TransferPieces(TransferForm::Writing, write, image, m_imageBufferSize))
        return fail(kBufferFault);
    ProgressEnd(chunks);

    // read it back and compare
    stage("Read Buffer(Veriyfy).... ");
    ProgressBegin(chunks);
    if (!TransferPieces(TransferForm::Reading, read, readBackBuffer, kReadBackBufferSize))
        return Fail(kBufferFault, kCdRomCaption);
    ProgressEnd(kReadBackFull);
    if (!VerifyReadBack(S, image + kImageHeaderSize, readBackBuffer)) {
        ReportOutcome(Outcome::Failed);
        loader.Leave();
        return ReleaseImage();
    }

    // back to the main program
    loader.Leave();
    PumpMessages();
    for (int i = 0; i < kClosingTestUnitReadies; ++i)
        if (TestUnitReady()) break;
    const bool back = Inquire(inquiry, flow.closingInquiryHost);
    PumpMessages();
    if (!back) return Fail("Down Load fault(CD-00C)", kCdRomCaption);
    ReleaseImage();
    SleepMs(kBeforeEndMs);
    stage("DwonLoad End ");
    ReportOutcome(Outcome::Succeeded);
}
