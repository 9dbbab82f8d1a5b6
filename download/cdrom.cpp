// The DVD-ROM families whose loader reports an identity of its own. Kind 34 checks the image's
// sum, writes it in one command, reads it back and compares it; the power-off kinds (33, 35-38)
// carry a configuration byte of the drive's firmware into the image, write it in pieces and give
// the drive its settling time. Both switch the drive into its loader and back the same way.
#include "download/cdrom.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr char kHlvCdRomCaption[] = "HLV CD-ROM DOWNLOAD";
constexpr char kBufferFault[] = "Down Load fault(CD-00Z)";
constexpr char kPowerOffText[] = "Down Load complete\nPlease turn off the PC. (Not Restart)";

constexpr uint32_t kInquiryArea = 1024;
constexpr uint32_t kInquiryHost = 36;
constexpr uint32_t kAfterSwitchMs = 100;
constexpr uint32_t kBeforeEndMs = 100;
constexpr int kClosingTestUnitReadies = 5;
// The bar's position after the read-back, whatever its range: it shows full.
constexpr int32_t kReadBackFull = 100;
// The configuration READ BUFFER's allocation length.
constexpr uint32_t kConfigLength = 2;
// The power-off kinds send images in pieces from this file length on.
constexpr uint32_t kChunkedFrom = 65536;

constexpr CdRomFlow kCdRomDownload{.frame = kFrameCdRom,
                                   .stageLine = true,
                                   .checksum = true,
                                   .senseAfterInquiry = false,
                                   .readBack = true,
                                   .closingInquiryHost = kInquiryArea,
                                   .confirmsLoaderLeft = false};
constexpr CdRomFlow kPowerOffDownload{.frame = kFrameCdRomPowerOff,
                                      .stageLine = false,
                                      .checksum = false,
                                      .senseAfterInquiry = true,
                                      .readBack = false,
                                      .closingInquiryHost = kInquiryHost,
                                      .confirmsLoaderLeft = true};

// The sense of a failed command as the power-off kinds show it: "02-3a00".
std::string ShortSense() {
    char text[16];
    std::snprintf(text, sizeof text, "%02x-%02x%02x", lastCommandError.senseKey,
                  lastCommandError.asc, lastCommandError.ascq);
    return text;
}

}  // namespace

void CDISCFLASHDlg::DownloadCdRom() {
    DownloadCdRomFlow(kCdRomDownload);
}

void CDISCFLASHDlg::DownloadCdRomPowerOff() {
    DownloadCdRomFlow(kPowerOffDownload);
}

void CDISCFLASHDlg::DownloadCdRomFlow(const CdRomFlow& flow) {
    const ProcedureFrame& frame = flow.frame;
    const CdRomKind* kind = FindCdRomKind(m_nKind);
    if (!kind) return;
    auto stage = [&](const char* text) {
        if (!flow.stageLine) return;
        SetStage(text);
        PumpMessages();
    };

    // the image
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    PumpMessages();
    if (!LearnImageLength(frame)) return ReportOutcome(Outcome::Failed);
    const uint32_t L0 = m_imageLength;
    const bool allocated = AllocateImage(frame.bufferSize, frame.messages);
    stage(kStageClear);
    if (!allocated || !ReadImage(frame.padOdd, frame.messages))
        return ReportOutcome(Outcome::Failed);
    PumpMessages();
    uint8_t* image = m_imageBuffer.get();
    const uint32_t S = m_imageLength;
    const int32_t chunks = static_cast<int32_t>(S / kTransferPieceSize + 1);
    const std::vector<Piece> write =
        flow.readBack
            ? std::vector<Piece>{{0, S, 1}}
            : PlanTransfer(TransferForm::Writing, S, L0 >= kChunkedFrom ? kTransferPieceSize : S);
    const std::vector<Piece> read =
        flow.readBack ? PlanTransfer(TransferForm::Reading, S, S - kImageHeaderSize)
                      : std::vector<Piece>{};

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
    if (!answered) {
        ShowMessage("Down Load fault(CD-006)", kCdRomCaption, MB_ICONHAND);
        if (flow.senseAfterInquiry) ShowMessage(ShortSense(), kCdRomCaption, MB_ICONHAND);
        ReportOutcome(Outcome::Failed);
        loader.Leave();
        return ReleaseImage();
    }

    // switch the drive into its loader, unless it runs it already
    if (!m_bFirstIdentity) {
        if (!loader.Enter()) return fail("Down Load fault(CD-007)", kHlvCdRomCaption);
        PumpMessages();
        SleepMs(kAfterSwitchMs);
        const bool again = Inquire(inquiry, kInquiryHost);
        PumpMessages();
        if (!again) return fail("Down Load fault(CD-008)");
        if (kind->checksIdentities &&
            !ReportsFirstIdentity(inquiry, currentGroup, kCdRomIdentityLength))
            return fail("Down Load fault(CD-009)");
    }

    // the loader must be the one the image is made for
    if (kind->checksIdentities) {
        stage("CheckLoader.... ");
        if (std::memcmp(inquiry + 8, image, kCdRomIdentityLength) != 0)
            return fail("Down Load fault(CD-00A)");
        m_imageIdentity.assign(reinterpret_cast<const char*>(image), kCdRomIdentityLength);
    }

    // the drive's configuration byte goes into the image; without it the image is not sent,
    // rather than sent with bytes made for another configuration. A read that moved fewer bytes
    // than its CDB asked for left stale ones in the reply, and counts as not read (the larger
    // area kinds 35 and 37 give is never full, and need not be).
    if (kind->configOffset) {
        uint8_t reply[4] = {};
        Cdb cdb = ReadBufferCdb(kModeVendor, 1, kind->configOffset, kConfigLength);
        const bool read = ExecCommandEx(1, XFER_IN, cdb.data(), reply, kind->configHost) != 0 &&
                          kind->configHost - LastCommandResidual() >= kConfigLength;
        PumpMessages();
        if (!read) return fail(kBufferFault);
        CarryConfiguration(m_nKind, reply[0], image);
    }

    // write the image
    ProgressBegin(chunks);
    stage("Write Buffer.... ");
    if (!TransferPieces(TransferForm::Writing, write, image, m_imageBufferSize))
        return fail(kBufferFault);
    ProgressEnd(chunks);

    if (flow.readBack) {
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
    } else {
        // the drive stores it
        SettleWait(settleSeconds);
    }

    // this drive keeps its loader until the PC is switched off
    if (kind->powerOff) {
        ShowMessage(kPowerOffText, kCdRomCaption, MB_ICONHAND);
        ReportOutcome(Outcome::Succeeded);
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
    KeepIdentityAfter(inquiry, flow.closingInquiryHost);
    ReleaseImage();
    SleepMs(kBeforeEndMs);
    if (!flow.confirmsLoaderLeft) {
        stage("DwonLoad End ");
        return ReportOutcome(Outcome::Succeeded);
    }

    // the drive no longer reports its loader's identity
    const bool last = Inquire(inquiry, kInquiryHost);
    PumpMessages();
    if (!last) return fail("Down Load fault(CD-00D)");
    KeepIdentityAfter(inquiry, kInquiryHost);
    if (ReportsFirstIdentity(inquiry, currentGroup, kCdRomIdentityLength))
        return Fail("Down Load fault(NG-00E)", kHlvCaption);
    ShowMessage("Down Load complete", kHlvCaption, MB_OK);
    ReportOutcome(Outcome::Succeeded);
}
