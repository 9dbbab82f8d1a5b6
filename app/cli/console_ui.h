// The console front end's face: no window; everything the dialog would show goes to standard
// output, questions are answered from --yes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "system/ports.h"

class ConsoleUi : public UiPort {
  public:
    ConsoleUi(FILE* out, FILE* err, bool answerYes, bool isTty);

    void ListClear() override;
    void ListAdd(const std::string& text) override;
    void ListSelect(int index) override;
    int ListSelected() override { return selected_; }
    int ListCount() override { return static_cast<int>(list_.size()); }
    void ProgressRange(int32_t low, int32_t high) override;
    void ProgressStepSize(int32_t step) override { step_ = step; }
    void ProgressStep() override;
    void ProgressPos(int32_t pos) override;
    void SetStage(const std::string& text) override;
    void SetIdentity(const std::string& text) override;
    // The detail is not printed: it is the notes, already on standard error.
    int MessageBox(const std::string& text, const std::string& caption, unsigned type,
                   const std::string& detail) override;
    bool ChooseFile(const FileRequest& request, std::string& path) override;
    void PumpMessages() override;
    void SetWaitCursor(bool) override {}
    void MeasureLayout() override {}
    void ApplyCompactSize() override {}
    void Quit(int exitCode) override { quitCode_ = exitCode; }
    void Note(const std::string& text) override;

    // Prints the drive list, marking the selected entry.
    void PrintDrives();
    // The end of a download in lines that --all reads from each drive's run: "identity after:
    // TEXT", what the drive reported after storing the image (INQUIRY bytes from 8 on, made
    // Printable), when the procedure read it; then "outcome: WORD".
    void PrintDownloadEnd(const std::string& identityAfter, const char* outcome);
    int QuitCode() const { return quitCode_; }
    // A stop signal (SIGINT, SIGTERM, SIGHUP) taken while pumping; 0 when none.
    int PendingStop() const { return pendingStop_; }

  private:
    // A stream whose reader has gone (EPIPE) is written no more; the download goes on.
    struct Stream {
        FILE* file;
        bool gone = false;
    };
    void Print(Stream& s, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Flush(Stream& s);
    void ShowProgress();
    void EndBar();

    Stream out_;
    Stream err_;
    bool yes_;
    bool tty_;
    std::vector<std::string> list_;
    int selected_ = -1;
    std::string identity_;
    std::string stage_;
    int32_t low_ = 0, high_ = 100, step_ = 10, pos_ = 0;
    int lastPercent_ = -1;
    bool barOpen_ = false;
    int quitCode_ = -1;
    int pendingStop_ = 0;
};
