#include "system/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>

#ifdef DISCFLASH_HAVE_SDBUS
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#endif

#include "system/errno_name.h"
#include "system/flat_json.h"
#include "system/ports.h"
#include "system/printable.h"

namespace {

constexpr char kStateDir[] = "/discflash";
constexpr char kFileName[] = "history.jsonl";
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
// journalctl MESSAGE_ID=... finds every download of every version.
constexpr char kMessageId[] = "1c748d4d21e242ddadc6417d65056308";
// A holder of the lock holds it for one write or one read; past this, something else holds it.
constexpr uint32_t kLockWaitMs = 5000;
constexpr uint32_t kLockPollMs = 10;
// No record comes near this: a longer line is none.
constexpr size_t kLongestLine = size_t{1} << 20;

std::string Failure(const std::string& path, int err) {
    return path + ": " + ErrnoText(err);
}

// The record's keys in the order a line holds them. The texts are the string members; the one
// number is image_size (null allowed), the one flag emulated.
struct Field {
    const char* key;
    JsonValue::Kind kind;
    std::string DownloadRecord::*text = nullptr;
    std::optional<std::string> DownloadRecord::*optional = nullptr;  // null allowed
};
using R = DownloadRecord;
const Field kFields[] = {
    {"time", JsonValue::String, &R::time},
    {"program", JsonValue::String, &R::program},
    {"node", JsonValue::String, &R::node},
    {"identity_before", JsonValue::String, &R::identityBefore},
    {"revision_before", JsonValue::String, &R::revisionBefore},
    {"identity_after", JsonValue::String, nullptr, &R::identityAfter},
    {"revision_after", JsonValue::String, nullptr, &R::revisionAfter},
    {"image", JsonValue::String, nullptr, &R::image},
    {"image_size", JsonValue::Number},
    {"image_sha256", JsonValue::String, nullptr, &R::imageSha256},
    {"outcome", JsonValue::String, &R::outcome},
    {"message", JsonValue::String, &R::message},
    {"emulated", JsonValue::Bool},
};

// ---- the file -----------------------------------------------------------------------------------

// Makes each missing directory of `dir` with mode 0700, as the XDG rules ask.
bool MakeDirectories(const std::string& dir, std::string& why) {
    for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string part = dir.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            why = Failure(part, errno);
            return false;
        }
        if (end == std::string::npos) return true;
    }
}

// The history file opened through its directory, neither of them a symbolic link: a link put
// there by someone else must not make a process with more rights write elsewhere.
// `err`: the errno of the failure, 0 for one that has none.
int OpenHistoryFile(const std::string& path, int flags, std::string& why, int& err) {
    err = 0;
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == std::string::npos || slash + 1 == path.size()) {
        why = "no absolute history file path is known (set HOME or XDG_STATE_HOME)";
        return -1;
    }
    const std::string dir = path.substr(0, std::max<size_t>(slash, 1));
    if ((flags & O_CREAT) && !MakeDirectories(dir, why)) return -1;
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        err = errno;
        why = Failure(dir, err);
        return -1;
    }
    // Non-blocking: a FIFO in the file's place must not hang the program.
    const int fd = ::openat(dirFd, path.c_str() + slash + 1,
                            flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    err = fd < 0 ? errno : 0;
    ::close(dirFd);
    struct stat st {};
    if (fd < 0) {
        why = Failure(path, err);
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = path + ": not a regular file";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Lock(int fd, int operation, ClockPort& clock, const std::string& path, std::string& why) {
    for (uint32_t waited = 0;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waited >= kLockWaitMs) {
            why = errno == EWOULDBLOCK ? path + ": another process holds it locked"
                                       : Failure(path, errno);
            return false;
        }
        clock.SleepMs(kLockPollMs);
        waited += kLockPollMs;
    }
}

bool AppendLine(const std::string& path, const std::string& line, ClockPort& clock,
                std::string& why) {
    int err = 0;
    const int fd = OpenHistoryFile(path, O_WRONLY | O_APPEND | O_CREAT, why, err);
    if (fd < 0) return false;
    bool ok = Lock(fd, LOCK_EX, clock, path, why);
    struct stat st {};
    if (ok && ::fstat(fd, &st) != 0) {
        why = Failure(path, errno);
        ok = false;
    }
    if (ok) {
        ssize_t written;
        do written = ::write(fd, line.data(), line.size());
        while (written < 0 && errno == EINTR);
        if (written != static_cast<ssize_t>(line.size())) {
            why = written < 0 ? Failure(path, errno)
                              : path + ": only part of the record could be written (disk full?)";
            // A cut line would end up glued to the next record.
            if (written > 0 && ::ftruncate(fd, st.st_size) != 0) why += "; the part stays";
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

// ---- the journal and the table ------------------------------------------------------------------

std::string Drive(const std::string& identity, const std::string& revision) {
    return Printable(identity) + "  " + Printable(revision);
}

std::string OneLine(const std::string& text) {
    std::string s;
    for (char c : text) s += c == '\n' ? std::string(" / ") : std::string(1, c);
    return s;
}

bool SendToJournal(const DownloadRecord& r, std::string& why) {
#ifdef DISCFLASH_HAVE_SDBUS
    if (::access(kJournalSocket, F_OK) != 0) return true;  // no journal runs here
    const bool bad = r.outcome == kHistoryFault || r.outcome == kHistoryNoGood;
    std::vector<std::string> fields = {
        std::string("MESSAGE_ID=") + kMessageId,
        std::string("PRIORITY=") + (bad ? "3" : "5"),
        "MESSAGE=" + r.program + " download on " + r.node + ": " + r.outcome + " (" +
            OneLine(r.message) + ")",
        "DISCFLASH_TIME=" + r.time,
        "DISCFLASH_PROGRAM=" + r.program,
        "DISCFLASH_NODE=" + r.node,
        "DISCFLASH_IDENTITY_BEFORE=" + Printable(r.identityBefore),
        "DISCFLASH_REVISION_BEFORE=" + Printable(r.revisionBefore),
        "DISCFLASH_OUTCOME=" + r.outcome,
        "DISCFLASH_MESSAGE=" + r.message,
    };
    if (r.identityAfter)
        fields.push_back("DISCFLASH_IDENTITY_AFTER=" + Printable(*r.identityAfter));
    if (r.revisionAfter)
        fields.push_back("DISCFLASH_REVISION_AFTER=" + Printable(*r.revisionAfter));
    if (r.image) fields.push_back("DISCFLASH_IMAGE=" + *r.image);
    if (r.imageSize) fields.push_back("DISCFLASH_IMAGE_SIZE=" + std::to_string(*r.imageSize));
    if (r.imageSha256) fields.push_back("DISCFLASH_IMAGE_SHA256=" + *r.imageSha256);
    std::vector<iovec> iov;
    for (std::string& f : fields) iov.push_back({f.data(), f.size()});
    const int rc = sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
    if (rc < 0) {
        why = "the systemd journal did not take the record: " + ErrnoText(-rc);
        return false;
    }
#else
    (void)r;
    (void)why;
#endif
    return true;
}

std::string IsoTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = "";
    if (::gmtime_r(&t, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Display columns, roughly: one a character, whatever its bytes.
size_t Width(const std::string& s) {
    return static_cast<size_t>(std::count_if(
        s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string RecordJson(const DownloadRecord& r) {
    std::string o = "{";
    for (const Field& f : kFields) {
        o += std::string(o.size() > 1 ? "," : "") + "\"" + f.key + "\":";
        const std::string* text = f.text                        ? &(r.*f.text)
                                  : f.optional && r.*f.optional ? &*(r.*f.optional)
                                                                : nullptr;
        if (text)
            AppendJsonString(o, *text);
        else if (f.kind == JsonValue::Bool)
            o += r.emulated ? "true" : "false";
        else if (f.kind == JsonValue::Number && r.imageSize)
            o += std::to_string(*r.imageSize);
        else
            o += "null";
    }
    return o + "}";
}

bool ParseRecord(const std::string& line, DownloadRecord& record) {
    std::map<std::string, JsonValue> values;
    if (!ParseFlatObject(line, values)) return false;
    DownloadRecord r;
    for (const Field& f : kFields) {
        auto it = values.find(f.key);
        if (it == values.end()) return false;
        const JsonValue& v = it->second;
        const bool nullable = f.optional || f.kind == JsonValue::Number;
        if (v.kind != f.kind && !(nullable && v.kind == JsonValue::Null)) return false;
        if (v.kind == JsonValue::Null) continue;
        if (f.text) r.*f.text = v.text;
        if (f.optional) r.*f.optional = v.text;
        if (f.kind == JsonValue::Number) r.imageSize = v.number;
        if (f.kind == JsonValue::Bool) r.emulated = v.flag;
    }
    const char* const outcomes[] = {kHistoryComplete, kHistoryNoGood, kHistoryFault,
                                    kHistoryCancelled};
    if (std::none_of(std::begin(outcomes), std::end(outcomes),
                     [&](const char* o) { return r.outcome == o; }))
        return false;
    record = std::move(r);
    return true;
}

std::string HistoryFile(const char* stateHome, const char* home) {
    auto base = [](const char* dir) {
        std::string s = dir;
        while (!s.empty() && s.back() == '/') s.pop_back();
        return s;
    };
    // Relative values are ignored, as the XDG rules say.
    if (stateHome && stateHome[0] == '/') return base(stateHome) + kStateDir + "/" + kFileName;
    if (home && home[0] == '/') return base(home) + "/.local/state" + kStateDir + "/" + kFileName;
    return {};
}

std::string ProcessHistoryFile() {
    // secure_getenv gives nothing to a process with more rights than its user.
    const char* stateHome = ::secure_getenv("XDG_STATE_HOME");
    std::string file = HistoryFile(stateHome, ::secure_getenv("HOME"));
    if (!file.empty()) return file;
    std::array<char, 16384> buffer{};
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return HistoryFile(stateHome, found->pw_dir);
}

History::History(std::string path, ClockPort& clock, bool emulatedDrives, bool journal)
    : path_(std::move(path)), clock_(clock), emulated_(emulatedDrives), journal_(journal) {}

bool History::Append(DownloadRecord& record, std::string& why) {
    record.time = IsoTime(clock_.CalendarSeconds());
    record.emulated = emulated_;
    bool ok = AppendLine(path_, RecordJson(record) + "\n", clock_, why);
    std::string journalWhy;
    if (journal_ && !emulated_ && !SendToJournal(record, journalWhy)) {
        why += (why.empty() ? "" : "; ") + journalWhy;
        ok = false;
    }
    return ok;
}

bool ReadHistory(const std::string& path, ClockPort& clock, std::vector<DownloadRecord>& records,
                 size_t& skipped, std::string& why) {
    records.clear();
    skipped = 0;
    int err = 0;
    const int fd = OpenHistoryFile(path, O_RDONLY, why, err);
    if (fd < 0) {
        if (err == ENOENT) why.clear();
        return err == ENOENT;
    }
    if (!Lock(fd, LOCK_SH, clock, path, why)) {
        ::close(fd);
        return false;
    }
    std::string line;
    bool tooLong = false;
    auto finish = [&] {
        DownloadRecord r;
        if (tooLong || !ParseRecord(line, r)) {
            ++skipped;
        } else {
            records.push_back(std::move(r));
        }
        line.clear();
        tooLong = false;
    };
    std::array<char, 65536> chunk{};
    ssize_t got;
    while ((got = ::read(fd, chunk.data(), chunk.size())) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            why = Failure(path, errno);
            ::close(fd);
            return false;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[static_cast<size_t>(i)] == '\n') {
                if (!line.empty() || tooLong) finish();
            } else if (line.size() < kLongestLine) {
                line += chunk[static_cast<size_t>(i)];
            } else {
                tooLong = true;
            }
        }
    }
    if (!line.empty() || tooLong) finish();
    ::close(fd);
    return true;
}

std::string HistoryTable(const std::vector<DownloadRecord>& records) {
    if (records.empty()) return "No downloads recorded.\n";
    using Row = std::array<std::string, 8>;
    std::vector<Row> rows = {
        {"TIME", "PROGRAM", "NODE", "DRIVE BEFORE", "AFTER", "OUTCOME", "IMAGE", "MESSAGE"}};
    for (const DownloadRecord& r : records) {
        std::string after = "-";
        if (r.identityAfter)
            after = *r.identityAfter != r.identityBefore
                        ? Drive(*r.identityAfter, r.revisionAfter.value_or(""))
                    : r.revisionAfter ? "same, " + Printable(*r.revisionAfter)
                                      : std::string("same");
        std::string image = "-";
        if (r.image) {
            image = TerminalText(r.image->substr(r.image->rfind('/') + 1));
            if (r.imageSize) image += " (" + std::to_string(*r.imageSize) + " bytes)";
        }
        rows.push_back({TerminalText(r.time), TerminalText(r.program),
                        TerminalText(r.node) + (r.emulated ? " (emulated)" : ""),
                        Drive(r.identityBefore, r.revisionBefore), after, TerminalText(r.outcome),
                        image, TerminalText(OneLine(r.message))});
    }
    std::array<size_t, 8> widths{};
    for (const Row& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string HistoryJson(const std::vector<DownloadRecord>& records) {
    std::string out = "{\"downloads\":[";
    for (size_t i = 0; i < records.size(); ++i) out += (i ? ",\n" : "\n") + RecordJson(records[i]);
    return out + (records.empty() ? "]}\n" : "\n]}\n");
}
