#include "system/runtime.h"

#include <algorithm>
#include <cctype>

namespace {
Runtime g_runtime;
}

Runtime& rt() {
    return g_runtime;
}

void ResetRuntime() {
    g_runtime = Runtime{};
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
    g_runtime.lastMessage = text;
    if (!g_runtime.ui) return (type & MB_BUTTONS_MASK) == MB_YESNO ? IDNO : IDOK;
    return g_runtime.ui->MessageBox(text, caption.empty() ? g_runtime.appTitle : caption, type);
}

void SleepMs(uint32_t ms) {
    if (g_runtime.clock) g_runtime.clock->SleepMs(ms);
}

void Note(const std::string& text) {
    if (g_runtime.ui) g_runtime.ui->Note(text);
}
