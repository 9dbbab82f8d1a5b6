// The DVD-RAM family (kind 48): microcode goes to the running program in 512-byte pieces, each
// behind the image's 48-byte header; a store command that runs on its own makes the drive keep
// it, and the drive must then report an identity of its group again.
#include "download/microcode.h"

#include <cstring>
#include <string>

#include "download/frame.h"
#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

namespace {

constexpr uint64_t kFinalPollMs = 10000;
constexpr uint16_t kAfterStoreMs = 2500;
// Drives of the family that report identities the group does not list.
constexpr char kQmR5[] = "HALVERONDVD-RAM QM-R5";
constexpr size_t kQmR5Length = sizeof kQmR5 - 1;

constexpr char kWriteError[] = "F/W Write Error";

Cdb WriteMicrocodeCdb(uint32_t offset, uint32_t length) {
    Cdb c;
    c.bytes[0] = 0xEA;
    PutBe24(&c.bytes[3], offset);
    PutBe24(&c.bytes[6], length);
    return c;
}

Cdb StoreMicrocodeCdb() {
    Cdb c;
    c.bytes[0] = 0xF5;
    return c;
}

}  // namespace

std::vector<Piece> PlanMicrocodePieces(uint32_t S) {
    // The bound is the microcode's length, the cut the file's: a short last piece carries the
    // remaining bytes and 48 bytes past the end of the file.
    std::vector<Piece> plan;
    for (uint32_t o = 0; S > kMicrocodeHeaderSize && o < S - kMicrocodeHeaderSize;) {
        uint32_t n = uint64_t{o} + kMicrocodePieceSize > S ? S - o : kMicrocodePieceSize;
        plan.push_back({o, n});
        o += n;
    }
    return plan;
}

void CDISCFLASHDlg::DownloadMicrocode() {
    const ProcedureFrame& frame = kFrameMicrocode;
    const FileStageMessages& messages = frame.messages;
    // Every transfer fits the transport: the pieces and the 64 KiB INQUIRY.
    if (!CheckTransferLimit(kLength64K, kHlvCaption)) return;

    // A file named on the command line is measured before the drive is asked anything, so that
    // a length this download cannot take is refused without a command. One that cannot be
    // opened, or one still to be chosen, comes after the disc check.
    const bool measured = !m_strFirmwarePath.empty() && ImageFileOpens(m_strFirmwarePath);
    if (measured && !LearnImageLength(frame)) return ReportOutcome(Outcome::Failed);

    // no disc in the drive
    if (!CheckNoMedium()) return ReportOutcome(Outcome::Failed);

    // the image: its length first
    if (!ChooseFirmwareFile(frame.filter, frame.initialName, frame.defaultExt)) return;
    PumpMessages();
    if (!measured && !LearnImageLength(frame)) return ReportOutcome(Outcome::Failed);
    const uint32_t S = m_imageLength;
    const std::vector<Piece> plan = PlanMicrocodePieces(S);
    if (!AllocateImage(frame.bufferSize, messages)) return ReportOutcome(Outcome::Failed);
    PumpMessages();
    uint8_t* image = m_imageBuffer.get();

    // the drive must be one of the group
    if (!ExecCommand64K(InquiryCdb().data(), image)) {
        ShowMessage("Drive Inquiry Error", kHlvCaption, MB_ICONHAND);
        return Fail(SenseReport(), kHlvCaption);
    }
    PumpMessages();
    auto identityOf = [&](std::string& identity) {
        int field = MatchGroupPumping(image + 8, 0);
        if (field >= 0) {
            identity.assign(currentGroup[field].text,
                            static_cast<size_t>(FieldLength(currentGroup[field])));
            return true;
        }
        if (std::memcmp(image + 8, kQmR5, kQmR5Length) == 0) {
            identity = kQmR5;
            return true;
        }
        return false;
    };
    std::string expected;
    if (!identityOf(expected)) return Fail(kNotFirmware, kHlvCaption);

    // the image itself
    if (!ReadImage(frame.padOdd, messages)) return ReportOutcome(Outcome::Failed);
    PumpMessages();
    SetStage(kStageClear);
    PumpMessages();
    TestUnitReady();
    TestUnitReady();

    // the microcode, piece by piece, each behind the header
    const int32_t N = static_cast<int32_t>(S / kMicrocodePieceSize);
    SetStage("F/W Writing  ..");
    ProgressBegin(N);
    std::memcpy(readBackBuffer, image, kMicrocodeHeaderSize);
    for (const Piece& p : plan) {
        PumpMessages();
        std::memcpy(readBackBuffer + kMicrocodeHeaderSize, image + kMicrocodeHeaderSize + p.offset,
                    kMicrocodePieceSize);
        const uint32_t length = p.length + kMicrocodeHeaderSize;
        if (!ExecCommand(WriteMicrocodeCdb(p.offset, length).data(), readBackBuffer, length)) {
            const CommandErrorRecord& e = lastCommandError;
            if (e.senseKey == 0x05 && e.asc == 0x2C && e.ascq == 0x00) {
                Fail("Media is Seted. \nPlease eject the disc and try again..", kHlvCaption,
                     MB_ICONEXCLAMATION);
                return SetStage("Media In Set Error");
            }
            SetStage(kWriteError);
            ShowMessage("Down Load fault\n(WRITE MICROCODE)", kHlvCaption, MB_ICONHAND);
            return Fail(SenseReport(), kHlvCaption);
        }
        ProgressAdvance();
    }
    SetStage(kStageClear);
    ProgressEnd(N);

    // the drive stores it on its own; the settling wait ends when it has
    if (!ExecCommandEx(0, XFER_NONE, StoreMicrocodeCdb().data(), nullptr, 0)) {
        SetStage(kWriteError);
        return Fail("Down Load fault\n(SYNCHRONZE MICROCODE)", kHlvCaption);
    }
    SetStage(kStageClear);
    PumpMessages();
    SetStage("Buffer flush ..");
    SettleWait(settleSeconds);
    const uint64_t deadline = rt().clock ? rt().clock->ProcessMs() + kFinalPollMs : 0;
    int state = 0;
    for (;;) {
        state = PollCommand();
        if (state != 0 || !rt().clock || rt().clock->ProcessMs() > deadline) break;
        SleepMs(1000);
    }
    if (state != 1) {
        SetStage(kWriteError);
        GiveUpCommand();
        return Fail("Down Load fault\n(SYNCHRONZE MICROCODE Fullsh..)", kHlvCaption);
    }
    PumpMessagesForMs(kAfterStoreMs);
    SetStage(kStageClear);

    // the drive reports an identity of its group again
    PollIdentity(image, expected);
    std::string reported;
    ReportVerdict(identityOf(reported));
    SetStage(kStageClear);
    PumpMessages();
    ReleaseImage();
    PumpMessages();
}
