#include "app/cli/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "app/cli/options.h"
#include "app/cli/signals.h"

extern char** environ;

namespace {

bool g_secure = false;
bool g_trustProgramDirectory = false;

// Async-signal-safe and allocation-free: nothing else may have run yet.
void OpenNullOnClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this lands on fd.
        const int null = open("/dev/null", O_RDWR | O_NOCTTY);
        if (null == fd) continue;
        if (null >= 0 && dup2(null, fd) == fd) {
            close(null);
            continue;
        }
        static const char kWhy[] = "cannot open /dev/null onto a closed standard descriptor\n";
        if (fcntl(STDERR_FILENO, F_GETFD) != -1) {
            ssize_t ignored = write(STDERR_FILENO, kWhy, sizeof kWhy - 1);
            (void)ignored;
        }
        _exit(kExitRefused);
    }
}

bool IsLocaleName(std::string_view value) {
    return value.find('/') == std::string_view::npos;
}

bool Kept(std::string_view name, std::string_view value) {
    static constexpr std::string_view kAsTheyAre[] = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
                                                      "XDG_RUNTIME_DIR", "HOME"};
    if (std::find(std::begin(kAsTheyAre), std::end(kAsTheyAre), name) != std::end(kAsTheyAre))
        return true;
    // The C library reads a zone file named there; no way out of the zone directory.
    if (name == "TZ") return value.find("..") == std::string_view::npos;
    if (name == "LANG" || (name.size() > 3 && name.substr(0, 3) == "LC_"))
        return IsLocaleName(value);
    if (name == "QT_QPA_PLATFORM")
        return value == "xcb" || value == "wayland" || value == "offscreen";
    return false;
}

void ReplaceEnvironment() {
    std::vector<std::string> current;
    for (char** e = environ; e && *e; ++e) current.emplace_back(*e);
    const std::vector<std::string> kept = SecureEnvironment(current);
    clearenv();
    for (const std::string& entry : kept) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 0);
    }
}

}  // namespace

void PrepareProcess(bool secure, bool trustProgramDirectory) {
    OpenNullOnClosedStandardDescriptors();
    g_secure = secure;
    g_trustProgramDirectory = trustProgramDirectory;
    if (secure) ReplaceEnvironment();
    IgnoreReportingSignals();
}

bool SecureMode() {
    return g_secure;
}

bool ProgramDirectoryTrusted(const std::string& programFile) {
    if (g_trustProgramDirectory) return true;
    if (programFile.empty()) return false;
    return OnlyRootMayWrite(std::filesystem::path(programFile).parent_path().string());
}

std::vector<std::string> SecureEnvironment(const std::vector<std::string>& env) {
    std::vector<std::string> kept;
    std::vector<std::string_view> names;
    for (const std::string& entry : env) {
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        const std::string_view name(entry.data(), eq);
        // getenv finds the first of a name; a later one must not take its place.
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        names.push_back(name);
        if (Kept(name, std::string_view(entry).substr(eq + 1))) kept.push_back(entry);
    }
    return kept;
}

bool OnlyRootMayWrite(const std::string& dir) {
    if (dir.empty() || dir[0] != '/') return false;
    std::filesystem::path p(dir);
    while (true) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return false;
        if (p == p.root_path()) return true;
        p = p.parent_path();
    }
}
