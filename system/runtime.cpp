#include "system/runtime.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

Runtime g_runtime;

// Notes given since the last box, for the next one; a note repeated (a command that fails the
// same way each time it is tried) is shown once.
std::vector<std::string> g_notes;

// Between looks at a pending restart: the window repaints meanwhile.
constexpr uint32_t kRestartPollMs = 50;

std::string TakeNotes() {
    std::string detail;
    for (const std::string& n : g_notes) detail += (detail.empty() ? "" : "\n\n") + n;
    ForgetNotes();
    return detail;
}

}  // namespace

Runtime& rt() {
    return g_runtime;
}

void ResetRuntime() {
    g_runtime = Runtime{};
    ForgetNotes();
}

void SetProgramName(const std::string& argv0) {
    std::string base = argv0;
    size_t slash = base.find_last_of('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    g_runtime.appTitle = base;
    std::string id = base;
    size_t dot = id.find_last_of('.');
    if (dot != std::string::npos) id = id.substr(0, dot);
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    g_runtime.programId = id;
}

int ShowMessage(const std::string& text, const std::string& caption, unsigned type) {
    const std::string detail = TakeNotes();
    g_runtime.lastMessage = text;
    if (!g_runtime.ui) return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDNO : IDOK;
    return g_runtime.ui->MessageBox(text, caption.empty() ? g_runtime.appTitle : caption, type,
                                    detail);
}

void SleepMs(uint32_t ms) {
    if (g_runtime.clock) g_runtime.clock->SleepMs(ms);
}

void Note(const std::string& text) {
    if (!g_runtime.ui) return;
    g_runtime.ui->Note(text);
    if (std::find(g_notes.begin(), g_notes.end(), text) == g_notes.end()) g_notes.push_back(text);
}

void ForgetNotes() {
    g_notes.clear();
}

int RestartSystem() {
    HostPort* host = g_runtime.host;
    if (!host) return 0;
    host->StartRestart();
    int answer;
    while ((answer = host->RestartAnswer()) == HostPort::kRestartPending) {
        if (g_runtime.ui) g_runtime.ui->PumpMessages();
        SleepMs(kRestartPollMs);
    }
    return answer != 0 ? 1 : 0;
}
