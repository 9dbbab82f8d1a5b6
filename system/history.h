// The download history: one record for every download that sent a drive a command, as a JSON
// line in the user's state directory and, for real drives, in the systemd journal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ClockPort;

// How a download ended, as the history names it.
inline constexpr char kHistoryComplete[] = "complete";    // the procedure reported success
inline constexpr char kHistoryNoGood[] = "nogood";        // "Down Load NoGood": ran to its end,
                                                          // the drive did not come back as expected
inline constexpr char kHistoryFault[] = "fault";          // failed at any other step
inline constexpr char kHistoryCancelled[] = "cancelled";  // ended without a verdict (no file)

// One download. Texts are bytes: a drive's identity may hold any.
struct DownloadRecord {
    std::string time;  // UTC, ISO 8601: "2026-12-08T00:00:00Z"
    std::string program;
    std::string node;
    std::string identityBefore;  // INQUIRY bytes 8-31 and 32-35 as the scan read them
    std::string revisionBefore;
    // The procedure's closing INQUIRY after the image was stored; none where it reads none.
    std::optional<std::string> identityAfter;
    std::optional<std::string> revisionAfter;
    std::optional<std::string> image;  // the file's path, when one was chosen
    // The bytes read from it, when it was read whole (before any patch or pad byte).
    std::optional<uint64_t> imageSize;
    std::optional<std::string> imageSha256;
    std::string outcome;  // kHistory...
    std::string message;  // the last box's text
    bool emulated = false;
};

// The record as one JSON object without a line end: valid UTF-8 kept, every other byte outside
// printable ASCII written \u00XX, so that ParseRecord gives the bytes back exactly.
std::string RecordJson(const DownloadRecord& record);
// False when the line is not such an object with every key of the right type.
bool ParseRecord(const std::string& line, DownloadRecord& record);

// The history file under XDG rules: $XDG_STATE_HOME/discflash/history.jsonl when that is an
// absolute path, else $HOME/.local/state/discflash/history.jsonl; empty when HOME is no absolute
// path either.
std::string HistoryFile(const char* stateHome, const char* home);
// The same for this process. A process with more rights than its user (file capabilities,
// set-user-ID) takes the user's home from the password database, not from the environment.
std::string ProcessHistoryFile();

// Appends records. Each is one write on an O_APPEND descriptor under an exclusive flock, so
// that processes appending at once never interleave; a line cut short (disk full) is taken back.
// The state directories are made 0700 and the file 0600; the program's own directory and the
// file are never reached through a symbolic link.
class History {
  public:
    // `clock` stamps the records. `journal`: records of real drives also go to the systemd
    // journal, where one runs.
    History(std::string path, ClockPort& clock, bool emulatedDrives, bool journal);

    // Stamps the time and the drives' kind into `record` and appends it. False with the reason;
    // the journal's refusal counts too, though the file may have the record.
    bool Append(DownloadRecord& record, std::string& why);
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    ClockPort& clock_;
    bool emulated_;
    bool journal_;
};

// The records of a history file, oldest first; `skipped` counts the lines that do not parse. A
// file that is not there holds none. False with the reason when it cannot be read. `clock`
// paces the wait for a writer's lock.
bool ReadHistory(const std::string& path, ClockPort& clock, std::vector<DownloadRecord>& records,
                 size_t& skipped, std::string& why);

// What --history prints: a table a person reads at a glance, or {"downloads":[...]}.
std::string HistoryTable(const std::vector<DownloadRecord>& records);
std::string HistoryJson(const std::vector<DownloadRecord>& records);
