#include "system/trace.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "system/errno_name.h"
#include "system/printable.h"
#include "system/runtime.h"
#include "system/sha256.h"

namespace {

constexpr unsigned kSgMajor = 21;  // SCSI generic character devices (/dev/sgN)
// Step lines wait for the next event, but a bar that wraps again and again writes them anyway.
constexpr size_t kMostHeld = 64 * 1024;

void AppendCodePoint(std::string& o, unsigned value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    o += "\\u00";
    o += kDigits[value >> 4];
    o += kDigits[value & 15];
}

std::string SystemError(const std::string& path, const char* doing) {
    return std::string("cannot ") + doing + " the trace file '" + path + "': " + ErrnoText(errno);
}

}  // namespace

const char* TraceTargetRefusal(const struct stat& target, const struct stat* image) {
    if (image && target.st_dev == image->st_dev && target.st_ino == image->st_ino)
        return "it is the firmware image, which it would overwrite";
    if (S_ISBLK(target.st_mode)) return "it is a block device (a drive or a disk)";
    if (S_ISCHR(target.st_mode) && major(target.st_rdev) == kSgMajor)
        return "it is a SCSI generic node, which takes what is written to it as commands";
    return nullptr;
}

std::unique_ptr<Trace> Trace::Open(const std::string& path, const std::string& imagePath,
                                   bool noFollow, std::string& error) {
    struct stat image {};
    const bool knownImage = !imagePath.empty() && ::stat(imagePath.c_str(), &image) == 0;
    auto refuse = [&](const struct stat& st) {
        const char* why = TraceTargetRefusal(st, knownImage ? &image : nullptr);
        if (why) error = "refusing the trace file '" + path + "': " + why;
        return why != nullptr;
    };
    const char* const kLink =
        "' is a symbolic link, which the program does not follow as root: name the file itself";
    // Nothing is opened that would be refused: opening a drive's node alone makes the kernel
    // send it commands.
    struct stat st {};
    if ((noFollow ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) == 0) {
        if (noFollow && S_ISLNK(st.st_mode)) {
            error = "the trace file '" + path + kLink;
            return nullptr;
        }
        if (refuse(st)) return nullptr;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (noFollow ? O_NOFOLLOW : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = noFollow && errno == ELOOP ? "the trace file '" + path + kLink
                                           : SystemError(path, "open");
        return nullptr;
    }
    std::unique_ptr<Trace> trace(new Trace(fd, true));
    if (::fstat(fd, &st) != 0) {
        error = SystemError(path, "examine");
        return nullptr;
    }
    if (refuse(st)) return nullptr;
    if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        error = SystemError(path, "empty");
        return nullptr;
    }
    return trace;
}

Trace::Trace(int fd, bool owned) : fd_(fd), owned_(owned) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

Trace::Trace(FILE* stream) : Trace(stream ? fileno(stream) : -1, false) {}

Trace::~Trace() {
    Finish();
    if (fd_ >= 0 && owned_) ::close(fd_);
}

bool Trace::IsFile(const struct stat& st) const {
    return fd_ >= 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

std::string Trace::Str(const std::string& s) {
    std::string o;
    o.reserve(s.size() + 2);
    o += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const size_t n = Utf8SequenceLength(p + i, s.size() - i);
            if (n == 0) {
                AppendCodePoint(o, c);  // not UTF-8: the byte, as before
            } else if (c == 0xC2 && p[i + 1] < 0xA0) {
                AppendCodePoint(o, p[++i]);  // a C1 control character
            } else {
                o.append(s, i, n);
                i += n - 1;
            }
            continue;
        }
        switch (c) {
            case '"':
                o += "\\\"";
                break;
            case '\\':
                o += "\\\\";
                break;
            case '\n':
                o += "\\n";
                break;
            case '\r':
                o += "\\r";
                break;
            case '\t':
                o += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F)
                    AppendCodePoint(o, c);
                else
                    o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string Trace::Hex(const uint8_t* data, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

void Trace::WriteEvent(const char* ev, const std::string& fields, bool hold) {
    ++events_;
    if (fd_ < 0 || writeErr_) return;
    if (held_.empty()) heldFirst_ = events_;
    const uint64_t t = rt().clock ? rt().clock->ElapsedMs() : 0;
    held_ += "{\"t_ms\":" + std::to_string(t) + ",\"ev\":\"" + ev + "\"";
    held_ += fields;
    held_ += "}\n";
    if (!hold || held_.size() > kMostHeld) Flush();
}

void Trace::Flush() {
    for (size_t done = 0; done < held_.size();) {
        const ssize_t n = ::write(fd_, held_.data() + done, held_.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            writeErr_ = n < 0 ? errno : EIO;
            firstLost_ = heldFirst_;
            break;
        }
    }
    held_.clear();
}

void Trace::WriteSteps(bool hold) {
    if (pendingSteps_ == 0) return;
    const uint64_t count = pendingSteps_;
    pendingSteps_ = 0;
    WriteEvent("progress", ",\"op\":\"step\",\"count\":" + std::to_string(count), hold);
}

void Trace::Event(const char* ev, const std::string& fields) {
    std::lock_guard<std::mutex> lock(mu_);
    // Only the bar's thread counts steps; another thread's event falls between them anyway.
    if (std::this_thread::get_id() == owner_) WriteSteps(true);
    WriteEvent(ev, fields);
}

std::string Trace::Finish() {
    std::lock_guard<std::mutex> lock(mu_);
    WriteSteps(true);
    if (fd_ >= 0 && !writeErr_) Flush();
    if (!writeErr_) return {};
    const uint64_t lost = events_ - firstLost_ + 1;
    return std::to_string(lost) + " of " + std::to_string(events_) +
           " events were not written, from event " + std::to_string(firstLost_) +
           " on: writing failed with " + ErrnoText(writeErr_);
}

namespace {
std::string ProgressFields(const char* op, int32_t low, int32_t high, int32_t value) {
    return std::string(",\"op\":\"") + op + "\",\"low\":" + std::to_string(low) +
           ",\"high\":" + std::to_string(high) + ",\"value\":" + std::to_string(value);
}
}  // namespace

void Trace::ProgressEvent(const char* op, int32_t low, int32_t high, int32_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    WriteSteps(true);
    WriteEvent("progress", ProgressFields(op, low, high, value));
}

void Trace::BarMoved() {
    const int64_t span = int64_t{high_} - low_;
    int percent = 100;
    if (span > 0) {
        const int64_t pos = std::clamp<int64_t>(pos_, low_, high_);
        percent = static_cast<int>((pos - low_) * 100 / span);
    }
    if (percent != shownPercent_ && pendingSteps_ > 0) {
        // Held until the next event or the end: a hundred lines a stretch need not cost a hundred
        // writes, and a command never waits behind them.
        std::lock_guard<std::mutex> lock(mu_);
        WriteSteps(true);
    }
    shownPercent_ = percent;
    // The first position of the next whole percentage: steps below it are only counted. Past the
    // end the bar wraps, which the slow path works out.
    nextChange_ = span <= 0 || step_ <= 0 ? INT64_MIN
                  : percent >= 100        ? int64_t{high_} + 1
                                          : low_ + ((percent + 1) * span + 99) / 100;
}

void Trace::ProgressRange(int32_t low, int32_t high) {
    ProgressEvent("range", low, high, 0);
    low_ = low;
    high_ = high;
    BarMoved();
}

void Trace::ProgressStepSize(int32_t step) {
    ProgressEvent("step-size", 0, 0, step);
    step_ = step;
    BarMoved();
}

void Trace::ProgressStep() {
    ++pendingSteps_;
    const int64_t pos = int64_t{pos_} + step_;
    if (pos < nextChange_) {
        pos_ = static_cast<int32_t>(pos);
        return;
    }
    // Past the end the bar starts again from the beginning, as the window's bar does.
    int64_t wrapped = pos > high_ ? int64_t{low_} + (pos - high_) : pos;
    if (wrapped > high_ || wrapped < INT32_MIN) wrapped = low_;
    pos_ = static_cast<int32_t>(wrapped);
    BarMoved();
}

void Trace::ProgressPos(int32_t pos) {
    ProgressEvent("pos", 0, 0, pos);
    pos_ = high_ >= low_ ? std::clamp(pos, low_, high_) : pos;
    BarMoved();
}

namespace {
const char* DirectionName(uint8_t direction) {
    return direction == XFER_IN     ? "in"
           : direction == XFER_OUT  ? "out"
           : direction == XFER_NONE ? "none"
                                    : "unspecified";
}
std::string CdbField(const CommandRequest& r) {
    return ",\"cdb\":\"" + Trace::Hex(r.cdb, r.cdbLength) + "\"";
}
// What the kernel and the drive said of a command.
std::string OutcomeFields(const CommandOutcome& o) {
    char sense[16];
    std::snprintf(sense, sizeof sense, "%02X/%02X/%02X", o.senseKey, o.asc, o.ascq);
    return ",\"status\":" + std::to_string(o.status) + ",\"host\":" + std::to_string(o.host) +
           ",\"sense\":\"" + sense + "\"";
}
}  // namespace

void Trace::Cmd(const CommandRequest& r, const CommandOutcome& o, int result) {
    const uint32_t length = r.Moving();
    std::string f = CdbField(r);
    f += ",\"dir\":\"" + std::string(DirectionName(r.direction)) + "\"";
    f += ",\"len\":" + std::to_string(length);
    f += std::string(",\"wait\":") + (r.wait ? "true" : "false");
    const auto* data = static_cast<const uint8_t*>(r.data);
    if (r.direction == XFER_OUT && data && length > 0) {
        std::string out;
        if (length <= 64) {
            out = Hex(data, length);
        } else {
            // A digest that could not be made is said so, never written as a wrong one.
            std::string digest = Sha256Hex(data, length);
            out = digest.empty() ? "sha256-unavailable" : "sha256:" + digest;
        }
        f += ",\"out\":\"" + out + "\"";
    }
    if (!o.sent) f += ",\"sent\":false";
    if (o.err) f += ",\"errno\":" + Str(ErrnoName(o.err));
    f += ",\"result\":" + std::to_string(result);
    Event("cmd", f + OutcomeFields(o));
}

void Trace::CmdEnd(const CommandRequest& r, const CommandOutcome& o, int state) {
    Event("cmd-end", CdbField(r) + ",\"state\":" + std::to_string(state) + OutcomeFields(o));
}

void Trace::CmdAbandoned(const CommandRequest& r) {
    Event("cmd-abandoned", CdbField(r));
}

namespace {
std::string ListFields(const char* op, const std::string& text, int index) {
    return std::string(",\"op\":\"") + op + "\",\"text\":" + Trace::Str(text) +
           ",\"index\":" + std::to_string(index);
}
}  // namespace

void TracingUi::ListClear() {
    trace_.Event("list", ListFields("clear", "", -1));
    inner_.ListClear();
}
void TracingUi::ListAdd(const std::string& text) {
    // The text read as characters may not give the drive's bytes back; "hex" does.
    trace_.Event("list",
                 std::string(",\"op\":\"add\",\"text\":") + Trace::Str(text) + ",\"hex\":\"" +
                     Trace::Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()) +
                     "\",\"index\":" + std::to_string(inner_.ListCount()));
    inner_.ListAdd(text);
}
void TracingUi::ListSelect(int index) {
    trace_.Event("list", ListFields("select", "", index));
    inner_.ListSelect(index);
}
void TracingUi::ProgressRange(int32_t low, int32_t high) {
    trace_.ProgressRange(low, high);
    inner_.ProgressRange(low, high);
}
void TracingUi::ProgressStepSize(int32_t step) {
    trace_.ProgressStepSize(step);
    inner_.ProgressStepSize(step);
}
void TracingUi::ProgressStep() {
    trace_.ProgressStep();
    inner_.ProgressStep();
}
void TracingUi::ProgressPos(int32_t pos) {
    trace_.ProgressPos(pos);
    inner_.ProgressPos(pos);
}
void TracingUi::SetStage(const std::string& text) {
    trace_.Event("stage", ",\"text\":" + Trace::Str(text));
    inner_.SetStage(text);
}
void TracingUi::SetIdentity(const std::string& text) {
    trace_.Event("identity", ",\"text\":" + Trace::Str(text));
    inner_.SetIdentity(text);
}
int TracingUi::MessageBox(const std::string& text, const std::string& caption, unsigned type,
                          const std::string& detail) {
    int answer = inner_.MessageBox(text, caption, type, detail);
    unsigned icon = type & MB_ICON_MASK;
    const char* iconName = icon == MB_ICONHAND          ? "stop"
                           : icon == MB_ICONEXCLAMATION ? "exclamation"
                                                        : "none";
    bool yesno = (type & MB_BUTTONS_MASK) == MB_YESNO;
    const char* answerName = answer == IDYES ? "yes" : answer == IDNO ? "no" : "ok";
    trace_.Event("msg", ",\"caption\":" + Trace::Str(caption) + ",\"icon\":\"" + iconName +
                            "\",\"buttons\":\"" + (yesno ? "yesno" : "ok") +
                            "\",\"text\":" + Trace::Str(text) +
                            (detail.empty() ? "" : ",\"detail\":" + Trace::Str(detail)) +
                            ",\"answer\":\"" + answerName + "\"");
    return answer;
}
bool TracingUi::ChooseFile(const FileRequest& request, std::string& path) {
    bool chosen = inner_.ChooseFile(request, path);
    trace_.Event("file", ",\"title\":" + Trace::Str(request.title) +
                             ",\"chosen\":" + (chosen ? "true" : "false") +
                             ",\"path\":" + Trace::Str(chosen ? path : ""));
    return chosen;
}

void TracingUi::Note(const std::string& text) {
    trace_.Event("note", ",\"text\":" + Trace::Str(text));
    inner_.Note(text);
}

void TracingClock::SleepMs(uint32_t ms) {
    trace_.Event("sleep", ",\"ms\":" + std::to_string(ms));
    inner_.SleepMs(ms);
}
