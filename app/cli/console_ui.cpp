#include "app/cli/console_ui.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include "app/cli/signals.h"
#include "system/printable.h"

ConsoleUi::ConsoleUi(FILE* out, FILE* err, bool answerYes, bool isTty)
    : out_{out}, err_{err}, yes_(answerYes), tty_(isTty) {}

void ConsoleUi::Print(Stream& s, const char* format, ...) {
    if (s.gone) return;
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(s.file, format, args);
    va_end(args);
    if (n < 0 && errno == EPIPE) s.gone = true;
}

void ConsoleUi::Flush(Stream& s) {
    if (!s.gone && std::fflush(s.file) != 0 && errno == EPIPE) s.gone = true;
}

void ConsoleUi::ListClear() {
    list_.clear();
    selected_ = -1;
}

void ConsoleUi::ListAdd(const std::string& text) {
    list_.push_back(text);
}

void ConsoleUi::ListSelect(int index) {
    selected_ = (index >= 0 && index < static_cast<int>(list_.size())) ? index : -1;
}

void ConsoleUi::SetIdentity(const std::string& text) {
    identity_ = text;
    EndBar();
    Print(out_, "%s\n", text.c_str());
    Flush(out_);
}

void ConsoleUi::PrintDrives() {
    if (list_.empty()) Print(out_, "  (no drives)\n");
    for (size_t i = 0; i < list_.size(); ++i) {
        bool sel = static_cast<int>(i) == selected_;
        // An entry is the drive's own text: kept from the terminal as anything but text.
        Print(out_, "%s %zu: %s\n", sel ? "*" : " ", i, Printable(list_[i]).c_str());
    }
    Flush(out_);
}

void ConsoleUi::PrintDownloadEnd(const std::string& identityAfter, const char* outcome) {
    EndBar();
    if (!identityAfter.empty())
        Print(out_, "identity after: %s\n", Printable(identityAfter).c_str());
    Print(out_, "outcome: %s\n", outcome);
    Flush(out_);
}

void ConsoleUi::EndBar() {
    if (barOpen_) {
        Print(out_, "\n");
        barOpen_ = false;
    }
}

void ConsoleUi::SetStage(const std::string& text) {
    stage_ = text;
    // A single blank clears the line between stages: nothing worth printing.
    if (text.find_first_not_of(' ') == std::string::npos) return;
    EndBar();
    Print(out_, "stage: %s\n", text.c_str());
    Flush(out_);
}

void ConsoleUi::ProgressRange(int32_t low, int32_t high) {
    low_ = low;
    high_ = high;
    lastPercent_ = -1;
}

void ConsoleUi::ProgressStep() {
    pos_ += step_;
    if (pos_ > high_) pos_ = low_ + (pos_ - high_);
    ShowProgress();
}

void ConsoleUi::ProgressPos(int32_t pos) {
    pos_ = pos;
    ShowProgress();
}

void ConsoleUi::ShowProgress() {
    int64_t span = static_cast<int64_t>(high_) - low_;
    int percent = span <= 0 ? 100
                            : static_cast<int>(std::clamp<int64_t>(
                                  (static_cast<int64_t>(pos_) - low_) * 100 / span, 0, 100));
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (tty_) {
        int filled = percent * 40 / 100;
        Print(out_, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
              std::string(40 - filled, ' ').c_str(), percent);
        barOpen_ = percent < 100;
        if (!barOpen_) Print(out_, "\n");
    } else if (percent % 10 == 0) {
        // Plain lines for logs: every tenth of the way.
        Print(out_, "progress: %d%% (%d of %d)\n", percent, pos_ - low_, static_cast<int>(span));
    }
    Flush(out_);
}

int ConsoleUi::MessageBox(const std::string& text, const std::string& caption, unsigned type,
                          const std::string&) {
    EndBar();
    unsigned icon = type & MB_ICON_MASK;
    const char* iconName = icon == MB_ICONHAND          ? "stop"
                           : icon == MB_ICONEXCLAMATION ? "exclamation"
                                                        : "none";
    bool yesno = (type & MB_BUTTONS_MASK) == MB_YESNO;
    Print(out_, "[%s] (%s)\n", caption.c_str(), iconName);
    std::string body = text;
    size_t start = 0;
    while (start <= body.size()) {
        size_t nl = body.find('\n', start);
        std::string line =
            body.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        Print(out_, "  %s\n", line.c_str());
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    int answer = IDOK;
    if (yesno) {
        answer = yes_ ? IDYES : IDNO;
        Print(out_, "  -> %s\n", yes_ ? "Yes" : "No");
    }
    Flush(out_);
    return answer;
}

void ConsoleUi::Note(const std::string& text) {
    EndBar();
    Print(err_, "note: %s\n", text.c_str());
    Flush(err_);
}

bool ConsoleUi::ChooseFile(const FileRequest&, std::string&) {
    EndBar();
    Print(err_, "a firmware file name is needed: give it on the command line\n");
    return false;
}

void ConsoleUi::PumpMessages() {
    // A stop request never cuts a download short: note it, say so, act on it afterwards.
    while (int sig = TakeSignal()) {
        if (sig == SIGUSR1) continue;  // DownLoad runs once in batch mode anyway
        if (!pendingStop_) {
            EndBar();
            Print(err_, "signal %d received: stopping after the download\n", sig);
        }
        pendingStop_ = sig;
    }
}
