#include "system/trace.h"

#include <cinttypes>

#include "system/errno_name.h"
#include "system/runtime.h"
#include "system/sha256.h"

Trace::Trace(const std::string& path) : out_(std::fopen(path.c_str(), "w")), owned_(true) {}

Trace::Trace(FILE* stream) : out_(stream), owned_(false) {}

Trace::~Trace() {
    if (out_ && owned_) std::fclose(out_);
}

std::string Trace::Str(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
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
                // Texts are bytes (a drive's INQUIRY text may hold any): every byte outside
                // printable ASCII is written as the code point of its value, so that the line is
                // plain ASCII JSON and a reader gets the bytes back exactly.
                if (c < 0x20 || c > 0x7E) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    o += buf;
                } else {
                    o += static_cast<char>(c);
                }
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

void Trace::Event(const char* ev, const std::string& fields) {
    if (!out_) return;
    uint64_t t = rt().clock ? rt().clock->ElapsedMs() : 0;
    std::lock_guard<std::mutex> lock(mu_);
    std::fprintf(out_, "{\"t_ms\":%" PRIu64 ",\"ev\":\"%s\"%s}\n", t, ev, fields.c_str());
    std::fflush(out_);
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
std::string ProgressFields(const char* op, int32_t low, int32_t high, int32_t value) {
    return std::string(",\"op\":\"") + op + "\",\"low\":" + std::to_string(low) +
           ",\"high\":" + std::to_string(high) + ",\"value\":" + std::to_string(value);
}
}  // namespace

void TracingUi::ListClear() {
    trace_.Event("list", ListFields("clear", "", -1));
    inner_.ListClear();
}
void TracingUi::ListAdd(const std::string& text) {
    trace_.Event("list", ListFields("add", text, inner_.ListCount()));
    inner_.ListAdd(text);
}
void TracingUi::ListSelect(int index) {
    trace_.Event("list", ListFields("select", "", index));
    inner_.ListSelect(index);
}
void TracingUi::ProgressRange(int32_t low, int32_t high) {
    trace_.Event("progress", ProgressFields("range", low, high, 0));
    inner_.ProgressRange(low, high);
}
void TracingUi::ProgressStepSize(int32_t step) {
    trace_.Event("progress", ProgressFields("step-size", 0, 0, step));
    inner_.ProgressStepSize(step);
}
void TracingUi::ProgressStep() {
    trace_.Event("progress", ProgressFields("step", 0, 0, 0));
    inner_.ProgressStep();
}
void TracingUi::ProgressPos(int32_t pos) {
    trace_.Event("progress", ProgressFields("pos", 0, 0, pos));
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
int TracingUi::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    int answer = inner_.MessageBox(text, caption, type);
    unsigned icon = type & MB_ICON_MASK;
    const char* iconName = icon == MB_ICONHAND          ? "stop"
                           : icon == MB_ICONEXCLAMATION ? "exclamation"
                                                        : "none";
    bool yesno = (type & MB_BUTTONS_MASK) == MB_YESNO;
    const char* answerName = answer == IDYES ? "yes" : answer == IDNO ? "no" : "ok";
    trace_.Event("msg", ",\"caption\":" + Trace::Str(caption) + ",\"icon\":\"" + iconName +
                            "\",\"buttons\":\"" + (yesno ? "yesno" : "ok") + "\",\"text\":" +
                            Trace::Str(text) + ",\"answer\":\"" + answerName + "\"");
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
