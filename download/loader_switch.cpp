// The CD-RW families reprogrammed by their loader (kinds 4, 17, 18, 19, 20): the image goes to
// the loader in 2 KiB pieces, comes back for comparison, and the loader stores it.
#include "download/loader_switch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "download/frame.h"
#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr uint32_t kHardwareTagOffset = 24610;  // kind 4: compared with the drive's tag byte
constexpr int32_t kLoaderCompare = 26;          // image bytes 0.. against INQUIRY bytes 8..
constexpr int32_t kLoaderCompareKind19 = 29;
constexpr uint32_t kAfterSwitchMs = 5000;
constexpr int kTestUnitReadiesAfterSwitch = 4;
constexpr size_t kLoaderInquiryArea = 64;  // cleared before each loader INQUIRY

constexpr char kStageSwitch[] = "Program Change ... NOW";
constexpr char kStageSwitchError[] = "Program Change Error";
constexpr char kStageFlush[] = "Buffer flush ..";
constexpr char kLoaderInquiryError[] = "Loader Inquiry CMD Error\nDownLoadEnd";
constexpr char kStageDriveDataError[] = "Drive Data Read Error";
constexpr char kDriveDataFault[] = "Down Load fault\n(Drive Data)";

// The vendor reads: the hardware tag (kind 4) and the drive data (kinds 17, 19, 20).
Cdb HardwareTagRead() {
    return Cdb{{0xCF, 0x00, 0x00, 0x00, 0x00, 0x60, 0x02, 0x00, 0x02}};
}
Cdb DriveDataRead(uint8_t x) {
    return Cdb{{0xCE, 0x00, 0x00, 0x00, x, 0x0C, 0x01, 0x00, 0x04}};
}
Cdb DriveDataReadKind20() {
    return Cdb{{0xCE, 0x00, 0x5A, 0x00, 0x80, 0x0C, 0x00, 0x00, 0x04}};
}

// Each piece read back lands behind the longest image, padded, inside its buffer.
static_assert(kFrameLoaderSwitch.sizes.most % 2 == 0 &&
              kFrameLoaderSwitch.sizes.most + kLoaderPieceSize <= kFrameLoaderSwitch.bufferSize);

}  // namespace

void CDISCFLASHDlg::DownloadLoaderSwitch() {
    const ProcedureFrame& frame = kFrameLoaderSwitch;
    const bool kind18 = m_nKind == 18, kind19 = m_nKind == 19, kind20 = m_nKind == 20;

    // the image
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    PumpMessages();
    if (!LoadFirmwareImage(frame)) return ReportOutcome(Outcome::Failed);
    PumpMessages();
    uint8_t* image = m_imageBuffer.get();
    const uint32_t S = m_imageLength;
    // Every transfer fits the transport: the pieces, and the closing INQUIRY's 64 KiB.
    if (!CheckTransferLimit(std::max(kLoaderPieceSize, kLength64K), kHlvCaption)) return;

    // the image must name a drive of the group (kind 20 images are not checked) ...
    const int32_t L = m_nCompareLength;
    if (!kind20) {
        int field = MatchGroupPumping(image, L);
        PumpMessages();
        if (field < 0) return Fail(kNotFirmware, kHlvCaption);
    }
    // ... which the drive reports again once it has stored it
    const std::string expected(reinterpret_cast<const char*>(image), static_cast<size_t>(L));
    m_imageIdentity = expected;
    SetStage(kStageClear);
    PumpMessages();

    if (kind18 && !CheckLoaderImageSum(image, S))
        return Fail("Down Load fault(NG-SUM-Check)", kHlvCaption);
    PumpMessages();

    // Back out of a failed transfer: the drive returns to its main program.
    auto backOut = [&](const char* stage, const char* text) {
        SetStage(stage);
        Fail(text, kHlvCaption);
        SwitchLoader(0);
        SleepMs(kAfterSwitchMs);
    };
    // The loader does not answer as it should: the program ends, the drive stays in its loader.
    auto quit = [&](const std::string& text) {
        ShowMessage(text, "", MB_OK);
        ReportOutcome(Outcome::Failed);
        ReleaseImage();
        QuitFromProcedure();
    };
    auto loaderInquiry = [&] {
        std::memset(readBackBuffer, 0, kLoaderInquiryArea);
        return ExecCommand(InquiryCdb().data(), readBackBuffer, 36) != 0;
    };

    if (!m_bFirstIdentity) {
        // the drive still runs its main program: its hardware must suit the image (kind 4)
        uint8_t reply[8] = {};
        if (m_nKind == 4) {
            // A tag the drive did not return is no match, even where the image holds zero.
            const bool read = ExecCommandEx(1, XFER_IN, HardwareTagRead().data(), reply, 2) != 0;
            if (!read || reply[0] != image[kHardwareTagOffset]) {
                ShowMessage("UnMatch F/W", "KR3521", MB_OK);
                SetStage("Un-Match F/W-KR3521");
                ReportOutcome(Outcome::Failed);
                return ReleaseImage();
            }
        }

        // switch the drive into its loader
        SetStage(kStageSwitch);
        if (!SwitchLoader(0)) {
            SetStage(kStageSwitchError);
            return Fail(" Down Load fault\n(PG Change 001)", kHlvCaption);
        }
        SleepMs(kAfterSwitchMs);
        for (int i = 0; i < kTestUnitReadiesAfterSwitch; ++i) TestUnitReady();
        SetStage(kStageClear);

        // the drive's own bytes go into the image; without them the image is not sent, rather
        // than sent with bytes the drive never returned
        auto driveData = [&](const Cdb& cdb) {
            if (ExecCommandEx(1, XFER_IN, cdb.data(), reply, 4)) return true;
            backOut(kStageDriveDataError, kDriveDataFault);
            return false;
        };
        if (m_nKind == 17) {
            if (!driveData(DriveDataRead(0x40))) return;
            std::memcpy(image + 45, reply + 1, 3);
        } else if (kind19) {
            if (!loaderInquiry()) return quit(kLoaderInquiryError);
            const bool revision01 = std::memcmp(readBackBuffer + 33, "0.1", 3) == 0;
            if (!driveData(DriveDataRead(revision01 ? 0x40 : 0x80))) return;
            std::memcpy(image + 45, reply + 1, 3);
        } else if (kind20) {
            if (!loaderInquiry()) return quit(kLoaderInquiryError);
            if (!driveData(DriveDataReadKind20())) return;
            Kind20DriveData(reply, image + 44);
        }
    }

    // the loader must be the one the image is made for
    const int32_t M = kind19 ? kLoaderCompareKind19 : kLoaderCompare;
    if (!loaderInquiry()) return quit(kLoaderInquiryError);
    if (std::memcmp(readBackBuffer + 8, image, static_cast<size_t>(M)) != 0) {
        char text[160];
        std::snprintf(text, sizeof text, "Loader Inquiry UnMatch1\nDownLoadEnd\n%29.29s\n%29.29s",
                      reinterpret_cast<const char*>(readBackBuffer + 8),
                      reinterpret_cast<const char*>(image));
        return quit(text);
    }
    PumpMessages();

    // write the image in pieces
    const int32_t W = static_cast<int32_t>(S / kLoaderPieceSize);
    SetStage("Write Buffer ..");
    ProgressBegin(W);
    for (const Piece& p : PlanPieces(S, kLoaderPieceSize)) {
        PumpMessages();
        Cdb write = WriteBufferCdb(kModeDownloadAndSave, 0, p.offset, p.length);
        if (!ExecCommand(write.data(), image + p.offset, p.length))
            return backOut("Write Buffer Error", "Down Load fault\n(WriteBuffer)");
        ProgressAdvance();
    }
    SetStage(kStageClear);
    ProgressEnd(W);

    // read it back behind the image and compare, piece by piece
    uint8_t* readBack = image + S;
    SetStage("Read Buffer ..");
    ProgressBegin(W);
    for (const Piece& p : PlanPieces(S - kLoaderHeaderSize, kLoaderPieceSize)) {
        PumpMessages();
        Cdb read = ReadBufferCdb(kModeVendor, 1, p.offset, p.length);
        if (!ExecCommand(read.data(), readBack, p.length))
            return backOut("Read Buffer Error", "Down Load fault\n(ReadBuffer)");
        PumpMessages();
        if (FirstDifference(readBack, image + kLoaderHeaderSize + p.offset, p.length) >= 0)
            return backOut("Read -> Verify  Error", "Down Load fault\n(Veriyfy)");
        ProgressAdvance();
    }
    PumpMessages();
    ProgressEnd(W);
    SetStage(kStageClear);
    PumpMessages();

    // the loader stores the image
    SetStage(kStageFlush);
    PumpMessages();
    if (!ExecCommand(WriteBufferCdb(kModeDownloadAndSave, 1, 0, 0).data(), nullptr, 0))
        return backOut("Buffer Fullsh Error", "Down Load fault\n(Buffer Fullsh)");
    SetStage(kStageClear);
    PumpMessages();
    SetStage(kStageFlush);
    SettleWait(settleSeconds);
    SetStage(kStageClear);

    // the loader reports the identity the image carries
    PollIdentity(image, expected);
    ReportVerdict(std::memcmp(image + 8, expected.data(), expected.size()) == 0);

    // back to the main program
    SetStage(kStageClear);
    PumpMessages();
    SetStage(kStageSwitch);
    PumpMessages();
    if (!SwitchLoader(0)) {
        SetStage(kStageSwitchError);
        return Fail("Down Load fault\n(PG Change 002)", kHlvCaption);
    }
    SleepMs(kAfterSwitchMs);
    PumpMessages();
    for (int i = 0; i < kTestUnitReadiesAfterSwitch; ++i) TestUnitReady();
    SetStage(kStageClear);
    PumpMessages();
    ReleaseImage();
    PumpMessages();
}
