// JSON Lines record of what the program did: commands, boxes, stage texts, list, progress, sleeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "scsi/command.h"
#include "system/ports.h"

class Trace {
  public:
    // Writes to a file; Ok() is false when it could not be opened.
    explicit Trace(const std::string& path);
    // Writes to a stream owned by the caller (tests).
    explicit Trace(FILE* stream);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool Ok() const { return out_ != nullptr; }

    // One event. `fields` is the rest of the object after "t_ms" and "ev", already
    // JSON-encoded and starting with a comma (or empty).
    void Event(const char* ev, const std::string& fields);

    // A command as it went to the drive, what became of it, and what its caller got.
    void Cmd(const CommandRequest& r, const CommandOutcome& o, int result);
    // The end of a no-wait command, when it is collected: `state` 1 completed, 2 failed.
    void CmdEnd(const CommandRequest& r, const CommandOutcome& o, int state);
    // A no-wait command given up on before its end was seen.
    void CmdAbandoned(const CommandRequest& r);

    // JSON helpers
    // Quoted and escaped; bytes outside 0x20-0x7E as \u00XX (code point = byte).
    static std::string Str(const std::string& s);
    static std::string Hex(const uint8_t* data, size_t n);

  private:
    std::mutex mu_;  // the pass-through worker may trace too
    FILE* out_ = nullptr;
    bool owned_ = false;
};

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
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
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
