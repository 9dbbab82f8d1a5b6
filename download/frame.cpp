// The procedure frame: file choice and loading, waits that keep the window alive, the no-disc
// check, the switch between main program and loader, and the sense report.
#include "download/frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>

#include "download/pieces.h"
#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/errno_name.h"
#include "system/runtime.h"
#include "system/sha256.h"
#include "system/trace.h"

namespace {

uint32_t g_allocationLimit = std::numeric_limits<uint32_t>::max();
// The standard INQUIRY data: what the procedures read of any answer, a 64 KiB one included.
constexpr size_t kInquiryAnswerArea = 36;

void StopBox(const std::string& text, const char* caption) {
    ShowMessage(text, caption, MB_ICONHAND);
}

// Why a call on an image's path failed, in the user's words.
std::string ErrnoReason(int err) {
    const char* words = nullptr;
    switch (err) {
        case ENOENT:
            words = "there is no such file";
            break;
        case EACCES:
            words =
                "permission denied: this user may not read it, or may not enter a directory "
                "on its path";
            break;
        case ELOOP:
            words = "its path runs into a loop of symbolic links";
            break;
        case ENOTDIR:
            words = "a part of its path is not a directory";
            break;
        case ENAMETOOLONG:
            words = "its name is too long";
            break;
        default:
            return ErrnoText(err);
    }
    return std::string(words) + " (" + ErrnoName(err) + ")";
}

std::string TypeReason(mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO (named pipe)"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of an unknown type";
    return std::string("it is ") + kind + ", not a regular file";
}

// An image file open for reading, or why it is not.
class ImageFile {
  public:
    explicit ImageFile(const std::string& path) {
        // The type is learnt before anything is opened: opening a device node or a FIFO has
        // effects of its own (a drive's node makes the kernel ask the drive for its medium).
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            why_ = ErrnoReason(errno);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            why_ = TypeReason(st.st_mode);
            return;
        }
        // Non-blocking, so that a FIFO put in the file's place meanwhile cannot hang the dialog;
        // what was opened must still be a regular file.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd_ < 0) {
            why_ = ErrnoReason(errno);
            return;
        }
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            why_ = S_ISREG(st.st_mode) ? ErrnoReason(errno) : TypeReason(st.st_mode);
            Close();
            return;
        }
        st_ = st;
    }
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool Open() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    uint64_t Size() const { return static_cast<uint64_t>(st_.st_size); }
    const std::string& Why() const { return why_; }
    const struct stat& Stat() const { return st_; }

  private:
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    struct stat st_ {};
    std::string why_;
};

void NoteUnreadable(const std::string& path, const std::string& why) {
    Note("cannot read the image " + path + ": " + why + ".");
}

// The open trace grows while the program runs: never an image, and never to be read as one.
constexpr char kIsTheTrace[] = "it is the trace file this run is writing";
bool IsTheTrace(const struct stat& st) {
    return rt().trace && rt().trace->IsFile(st);
}

ssize_t ReadRetrying(int fd, uint8_t* into, size_t n) {
    for (;;) {
        ssize_t got = ::read(fd, into, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

void SetImageAllocationLimit(uint32_t bytes) {
    g_allocationLimit = bytes;
}

bool CDISCFLASHDlg::ChooseFirmwareFile(const char* filter, const char* initialName,
                                       const char* defaultExt) {
    if (!m_strFirmwarePath.empty()) return true;
    FileRequest request;
    request.title = kFileDialogTitle;
    request.filters = ParseFileFilter(filter);
    request.initialName = initialName ? initialName : "";
    request.defaultExt = defaultExt ? defaultExt : "";
    std::string path;
    if (!rt().ui || !rt().ui->ChooseFile(request, path) || path.empty()) return false;
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    m_strFirmwarePath = ec ? path : full.string();
    return true;
}

bool ImageFileOpens(const std::string& path) {
    return ImageFile(path).Open();
}

bool CDISCFLASHDlg::LearnImageLength(const ProcedureFrame& frame) {
    const FileStageMessages& messages = frame.messages;
    m_imageLength = 0;
    ImageFile file(m_strFirmwarePath);
    if (!file.Open()) {
        NoteUnreadable(m_strFirmwarePath, file.Why());
        StopBox(messages.notFound, messages.caption);
        return false;
    }
    if (IsTheTrace(file.Stat())) {
        NoteUnreadable(m_strFirmwarePath, kIsTheTrace);
        StopBox(messages.openError, messages.caption);
        return false;
    }
    const ImageSizes& sizes = frame.sizes;
    const uint64_t length = file.Size();
    if (length >= sizes.least && length <= sizes.most) {
        m_imageLength = static_cast<uint32_t>(length);
        return true;
    }
    const std::string lengths =
        std::to_string(length) + (length == 1 ? " byte: " : " bytes: ") + sizes.what + " holds " +
        (sizes.least ? std::to_string(sizes.least) + " to " : std::string("at most ")) +
        std::to_string(sizes.most) + " bytes";
    if (length < sizes.least && sizes.tooShort) {
        Note("the image " + m_strFirmwarePath + " is too short (" + lengths + ").");
        StopBox(sizes.tooShort, messages.caption);
    } else {
        StopBox(std::string(sizes.refusal) + "\n(" + lengths + ")", messages.caption);
    }
    return false;
}

bool CDISCFLASHDlg::AllocateImage(uint32_t bufferSize, const FileStageMessages& messages) {
    ReleaseImage();
    // Refused here, before any command, rather than discovered while reading.
    if (m_imageLength > bufferSize) {
        StopBox(std::string(messages.openError) + "\n(" + std::to_string(m_imageLength) +
                    " bytes: this download takes images of at most " + std::to_string(bufferSize) +
                    " bytes)",
                messages.caption);
        return false;
    }
    if (bufferSize <= g_allocationLimit) m_imageBuffer = AllocateZeroed(bufferSize);
    if (!m_imageBuffer) {
        StopBox(messages.noMemory, messages.caption);
        return false;
    }
    m_imageBufferSize = bufferSize;
    return true;
}

bool CDISCFLASHDlg::ReadImage(bool padOdd, const FileStageMessages& messages) {
    auto refuse = [&](const std::string& why) {
        // The cause first: the box shows the notes given before it.
        if (!why.empty()) NoteUnreadable(m_strFirmwarePath, why);
        StopBox(messages.openError, messages.caption);
        ReleaseImage();
        return false;
    };
    if (!m_imageBuffer) return refuse("");
    ImageFile file(m_strFirmwarePath);
    if (!file.Open()) return refuse(file.Why());
    if (IsTheTrace(file.Stat())) return refuse(kIsTheTrace);

    // Sequential reads until end of file, never past the buffer. The file must still have the
    // length learnt before: one that changed in between is not the file that was checked.
    uint8_t* buffer = m_imageBuffer.get();
    const uint32_t capacity = m_imageBufferSize;
    uint32_t total = 0;
    while (total < capacity) {
        ssize_t got = ReadRetrying(file.Fd(), buffer + total, capacity - total);
        if (got < 0) return refuse(ErrnoText(errno));
        if (got == 0) break;
        total += static_cast<uint32_t>(got);
    }
    uint8_t probe;
    const bool more = total == capacity && ReadRetrying(file.Fd(), &probe, 1) != 0;
    if (more || total != m_imageLength)
        return refuse("it changed after its length (" + std::to_string(m_imageLength) +
                      " bytes) was learnt");

    // The history names the file as read, before any pad byte or patch.
    m_record.imageSize = total;
    const std::string digest = Sha256Hex(buffer, total);
    if (!digest.empty()) m_record.imageSha256 = digest;

    // Whatever landed in the buffer before the read (an INQUIRY answer) is not image.
    std::memset(buffer + total, 0, capacity - total);
    if (padOdd && (m_imageLength & 1u)) {
        if (m_imageLength >= capacity) return refuse("");  // no room for the pad byte
        buffer[m_imageLength] = 0xFF;
        ++m_imageLength;
    }
    return true;
}

bool CDISCFLASHDlg::LoadFirmwareImage(const ProcedureFrame& frame) {
    return LearnImageLength(frame) && AllocateImage(frame.bufferSize, frame.messages) &&
           ReadImage(frame.padOdd, frame.messages);
}

void CDISCFLASHDlg::ReleaseImage() {
    m_imageBuffer.reset();
    m_imageBufferSize = 0;
}

void CDISCFLASHDlg::PumpMessages() {
    if (rt().ui) rt().ui->PumpMessages();
}

void CDISCFLASHDlg::PumpMessagesForMs(uint16_t milliseconds) {
    if (!rt().clock) return;
    const uint64_t deadline = rt().clock->ProcessMs() + milliseconds;
    while (rt().clock->ProcessMs() < deadline) PumpMessages();
}

void CDISCFLASHDlg::PumpMessagesForSeconds(int32_t seconds) {
    if (!rt().clock || seconds < 0) return;
    ClockPort& clock = *rt().clock;
    // The wait ends in the calendar second after the last whole one. The process clock bounds
    // it, so that a step of the system time (a clock synchronised in between) can neither
    // stretch the wait nor cut it short.
    const int64_t startSecond = clock.CalendarSeconds();
    const uint64_t startMs = clock.ProcessMs();
    const uint64_t least = static_cast<uint64_t>(seconds) * 1000u, most = least + 1000u;
    for (;;) {
        const uint64_t waited = clock.ProcessMs() - startMs;
        if (waited >= most) return;
        if (waited >= least && clock.CalendarSeconds() > startSecond + seconds) return;
        PumpMessages();
    }
}

void CDISCFLASHDlg::SettleWait(int32_t seconds) {
    ProgressBegin(seconds);
    for (int32_t i = 0; i < seconds; ++i) {
        SleepMs(1000);
        ProgressAdvance();
        PumpMessages();
        if (m_nKind == 48 && PollCommand() != 0) break;
    }
    ProgressEnd(seconds);
}

bool CDISCFLASHDlg::CheckNoMedium() {
    TestUnitReady();
    if (lastCommandError.senseKey == 0x02 && lastCommandError.asc == 0x3A &&
        lastCommandError.ascq == 0x00) {
        SleepMs(700);
        return true;
    }
    ShowMessage("Please eject the disc and try again..", kHlvCaption, MB_ICONEXCLAMATION);
    return false;
}

bool CDISCFLASHDlg::SwitchLoader(int settle) {
    // The dispatcher allocates the buffer before any procedure runs; without it nothing is sent.
    if (!readBackBuffer) {
        StopBox("Down Load fault(NG-100)", kHlvCaption);
        return false;
    }
    // Cleared first (Inquire): bytes a short answer leaves out must not carry an earlier
    // command's data into the switch.
    if (!Inquire(readBackBuffer, kInquiryAnswerArea)) {
        StopBox("Down Load fault(NG-100)", kHlvCaption);
        return false;
    }
    // The switch carries the identity the drive reports now: vendor, product, revision.
    const uint8_t toggle[12] = {0xCC, 0, 0, 0, 0, 0, 0, 0, 0x1C, 0, 0, 0};
    if (!ExecCommandEx(1, XFER_OUT, toggle, readBackBuffer + 8, 28)) {
        StopBox("Down Load fault(NG-101)", kHlvCaption);
        return false;
    }
    if (m_nKind == 34) SleepMs(900);
    if (m_nKind == 18) SleepMs(3000);
    if (settle == 0) return true;
    SleepMs(3000);
    for (int i = 0; i < 2; ++i) {
        if (TestUnitReady()) break;
    }
    return true;
}

std::string CDISCFLASHDlg::SenseReport() {
    const uint8_t* e = lastCommandError.bytes();
    char text[40];
    std::snprintf(text, sizeof text, "%02x-%02x-%-2x\nStatus %02x", e[12], e[13], e[14], e[19]);
    return text;
}

bool CDISCFLASHDlg::CheckTransferLimit(uint32_t largest, const char* caption) {
    const uint32_t limit = TransportMaxTransfer();
    if (limit == 0 || largest <= limit) return true;
    char text[320];
    std::snprintf(text, sizeof text,
                  "This download sends %u bytes in one command, but %s carries at most %u bytes "
                  "in one command.\nNothing was sent to the drive.",
                  largest, transport().openNode.c_str(), limit);
    Fail(text, caption);
    return false;
}

bool CDISCFLASHDlg::TransferPieces(TransferForm form, const std::vector<Piece>& plan,
                                   uint8_t* buffer, uint64_t capacity) {
    const bool writing = form == TransferForm::Writing;
    for (size_t k = 0; k < plan.size(); ++k) {
        const Piece& p = plan[k];
        if (uint64_t{p.offset} + p.length > capacity) return false;
        Cdb cdb = writing ? WriteBufferCdb(kModeDownloadAndSave, p.bufferId, p.offset, p.length)
                          : ReadBufferCdb(kModeVendor, p.bufferId, p.offset, p.length);
        int sent =
            ExecCommandEx(1, writing ? XFER_OUT : XFER_IN, cdb.data(), buffer + p.offset, p.length);
        PumpMessages();
        if (!sent) return false;
        if (k + 1 < plan.size()) ProgressAdvance();
    }
    return true;
}

bool CDISCFLASHDlg::VerifyReadBack(uint32_t S, const uint8_t* body, const uint8_t* readBack) {
    ProgressBegin(static_cast<int32_t>(S / 10));
    const uint32_t n = S > kImageHeaderSize ? S - kImageHeaderSize : 0;
    const int64_t differs = FirstDifference(body, readBack, n);
    // One step for each offset 0, 10, 20, ... compared equal.
    const uint32_t equal = differs < 0 ? n : static_cast<uint32_t>(differs);
    for (uint32_t i = 0; i < equal; i += 10) ProgressAdvance();
    if (differs >= 0) {
        StopBox("Down Load fault(Verify)", kHlvCaption);
        return false;
    }
    ProgressEnd(static_cast<int32_t>(S));
    return true;
}

bool CDISCFLASHDlg::PollIdentity(uint8_t* into, const std::string& expected, uint8_t allocation,
                                 int32_t pauseSeconds) {
    constexpr int kAttempts = 10;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Cleared each time: after a failed or short answer the area holds no earlier bytes
        // (the image, when it is the image buffer) that could pass for the identity.
        std::memset(into, 0, allocation ? allocation : kInquiryAnswerArea);
        const bool answered = allocation
                                  ? ExecCommand(InquiryCdb(allocation).data(), into, allocation)
                                  : ExecCommand64K(InquiryCdb().data(), into);
        if (answered) KeepIdentityAfter(into, allocation ? allocation : kInquiryAnswerArea);
        if (answered && std::memcmp(into + 8, expected.data(), expected.size()) == 0) return true;
        PumpMessages();
        if (pauseSeconds > 0) PumpMessagesForSeconds(pauseSeconds);
    }
    return false;
}

void CDISCFLASHDlg::ReportVerdict(bool good) {
    ShowMessage(good ? "Down Load complete" : kDownLoadNoGood, kHlvCaption, MB_OK);
    ReportOutcome(good ? Outcome::Succeeded : Outcome::Failed);
}

void CDISCFLASHDlg::Fail(const std::string& text, const char* caption, unsigned icon) {
    ShowMessage(text, caption ? caption : "", icon);
    ReportOutcome(Outcome::Failed);
    ReleaseImage();
}

int CDISCFLASHDlg::MatchGroupPumping(const uint8_t* bytes, int32_t length) {
    for (int32_t k = 0; k < currentGroupCount; ++k) {
        PumpMessages();
        if (MatchGroupField(bytes, currentGroup + k, 1, length) == 0) return k;
    }
    return -1;
}

void CDISCFLASHDlg::SetStage(const std::string& text) {
    if (rt().ui) rt().ui->SetStage(text);
}

bool Inquire(uint8_t* into, uint32_t hostLength) {
    std::memset(into, 0, hostLength);
    return ExecCommand(InquiryCdb().data(), into, hostLength) != 0;
}

void ProgressBegin(int32_t chunks) {
    if (!rt().ui) return;
    rt().ui->ProgressRange(0, chunks);
    rt().ui->ProgressStepSize(1);
    rt().ui->ProgressPos(0);
}

void ProgressAdvance() {
    if (rt().ui) rt().ui->ProgressStep();
}

void ProgressEnd(int32_t position) {
    if (rt().ui) rt().ui->ProgressPos(position);
}
