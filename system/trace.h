// JSON Lines record of what the program did: commands, boxes, stage texts, list, progress, sleeps.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "scsi/command.h"
#include "system/ports.h"

class Trace {
  public:
    // Opens `path` for the trace, or says in `error` why not. Refused before it is opened, and
    // again on what was opened (a name may change meanwhile): the firmware image (`imagePath`,
    // when given), a block device or a SCSI generic node, which a trace would overwrite or send
    // commands to; with `noFollow` also a symbolic link. Truncated only once it passed.
    static std::unique_ptr<Trace> Open(const std::string& path, const std::string& imagePath,
                                       bool noFollow, std::string& error);
    // Writes to a stream owned by the caller (tests, benchmark).
    explicit Trace(FILE* stream);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Whether `st` describes the file the trace goes to.
    bool IsFile(const struct stat& st) const;

    // One event. `fields` is the rest of the object after "t_ms" and "ev", already
    // JSON-encoded and starting with a comma (or empty).
    void Event(const char* ev, const std::string& fields);

    // The progress bar. Range, step size and position are events of their own; steps are
    // counted and written as one event when the bar's whole percentage changes, or before any
    // other event, or at Finish.
    void ProgressRange(int32_t low, int32_t high);
    void ProgressStepSize(int32_t step);
    void ProgressStep();
    void ProgressPos(int32_t pos);

    // Writes what is still counted. Afterwards: empty when every event reached the file, else
    // what was lost and why, for standard error.
    std::string Finish();

    // A command as it went to the drive, what became of it, and what its caller got.
    void Cmd(const CommandRequest& r, const CommandOutcome& o, int result);
    // The end of a no-wait command, when it is collected: `state` 1 completed, 2 failed.
    void CmdEnd(const CommandRequest& r, const CommandOutcome& o, int state);
    // A no-wait command given up on before its end was seen.
    void CmdAbandoned(const CommandRequest& r);

    // JSON helpers
    // Quoted: valid UTF-8 as its characters, control characters escaped, and every byte that is
    // not part of valid UTF-8 as \u00XX (code point = byte).
    static std::string Str(const std::string& s);
    static std::string Hex(const uint8_t* data, size_t n);

  private:
    Trace(int fd, bool owned);
    // Under mu_: one event's line, written at once with any held before it unless `hold`.
    void WriteEvent(const char* ev, const std::string& fields, bool hold = false);
    void Flush();
    // Under mu_: the counted steps as their event.
    void WriteSteps(bool hold);
    void ProgressEvent(const char* op, int32_t low, int32_t high, int32_t value);
    // After the bar moved: the steps counted so far are written when its percentage changed.
    void BarMoved();

    std::mutex mu_;  // the pass-through worker may trace too
    int fd_ = -1;
    bool owned_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    // Lines not written yet (steps wait for the next event) and the number of the first.
    std::string held_;
    uint64_t heldFirst_ = 0;
    // What could not be written: events are numbered from 1; after the first failed write
    // nothing more is written, so that no line ends up glued to a broken one.
    uint64_t events_ = 0;
    uint64_t firstLost_ = 0;
    int writeErr_ = 0;
    // The bar as a front end shows it and the steps not yet written. Only the thread that made
    // the trace (the front end's, which runs the UI port) moves the bar: each step costs no lock.
    const std::thread::id owner_ = std::this_thread::get_id();
    int32_t low_ = 0, high_ = 100, step_ = 10, pos_ = 0;
    int shownPercent_ = 0;
    int64_t nextChange_ = INT64_MIN;
    uint64_t pendingSteps_ = 0;
};

// Why a trace may not go to the file `target` describes, or null when it may: it is the image
// (`image`, when known), or a drive's node or another block device.
const char* TraceTargetRefusal(const struct stat& target, const struct stat* image);

// UI port that records every call, then forwards it.
class TracingUi : public UiPort {
  public:
    TracingUi(UiPort& inner, Trace& trace) : inner_(inner), trace_(trace) {}
    void ListClear() override;
    void ListAdd(const std::string& text) override;
    void ListSelect(int index) override;
    int ListSelected() override { return inner_.ListSelected(); }
    int ListCount() override { return inner_.ListCount(); }
    void ProgressRange(int32_t low, int32_t high) override;
    void ProgressStepSize(int32_t step) override;
    void ProgressStep() override;
    void ProgressPos(int32_t pos) override;
    void SetStage(const std::string& text) override;
    void SetIdentity(const std::string& text) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type,
                   const std::string& detail) override;
    bool ChooseFile(const FileRequest& request, std::string& path) override;
    void PumpMessages() override { inner_.PumpMessages(); }
    void SetWaitCursor(bool on) override { inner_.SetWaitCursor(on); }
    void MeasureLayout() override { inner_.MeasureLayout(); }
    void ApplyCompactSize() override { inner_.ApplyCompactSize(); }
    void Quit(int exitCode) override { inner_.Quit(exitCode); }
    void Note(const std::string& text) override;

  private:
    UiPort& inner_;
    Trace& trace_;
};

// Clock port that records sleeps, then forwards.
class TracingClock : public ClockPort {
  public:
    TracingClock(ClockPort& inner, Trace& trace) : inner_(inner), trace_(trace) {}
    void SleepMs(uint32_t ms) override;
    uint64_t ProcessMs() override { return inner_.ProcessMs(); }
    uint32_t TickMs() override { return inner_.TickMs(); }
    int64_t CalendarSeconds() override { return inner_.CalendarSeconds(); }
    uint64_t ElapsedMs() override { return inner_.ElapsedMs(); }
    bool IsVirtual() const override { return inner_.IsVirtual(); }

  private:
    ClockPort& inner_;
    Trace& trace_;
};
