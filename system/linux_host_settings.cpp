#include "system/linux_host_settings.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kRulesHeader =
    "# Written by discflash: the kernel's media polling and desktop automount stay off for\n"
    "# these drive models while their firmware is replaced. Delete this file to undo, then run\n"
    "# \"udevadm control --reload\"; polling returns with the next restart or replug.\n";

bool ReadNumber(const std::string& path, long& value) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(line.c_str(), &end, 10);
    if (errno != 0 || end == line.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

std::string Failure(const char* what, const std::string& path, int err) {
    return std::string("cannot ") + what + " " + path + ": " + std::strerror(err);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The whole file; a missing file reads as empty. False (with errno) when it cannot be read.
bool ReadFile(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        text.clear();
        return errno == ENOENT;
    }
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            errno = err;
            return false;
        }
        all.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    text = std::move(all);
    return true;
}

// Written beside the file, flushed to disk and renamed over it: the rules must outlive the
// restart that follows, and udev never reads half a file.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& why) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = Failure("write", path, errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        why = Failure("write", path, err);
    }
    return ok;
}

bool HasLine(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line) return true;
    return false;
}

}  // namespace

void ReloadUdevRules() {
    char arg0[] = "udevadm", arg1[] = "control", arg2[] = "--reload";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    pid_t pid;
    // Without udevadm there is no udev to tell; the rule is read when udev starts.
    if (posix_spawnp(&pid, "udevadm", nullptr, nullptr, argv, environ) != 0) return;
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

LinuxHostSettings::LinuxHostSettings(std::string root, std::function<void()> reloadRules)
    : root_(std::move(root)), reloadRules_(std::move(reloadRules)) {}

std::string LinuxHostSettings::BlockDevice(int host, int channel, int target, int lun) {
    if (host < 0 || channel < 0 || target < 0 || lun < 0) return {};
    std::string dir = root_ + "/sys/bus/scsi/devices/" + std::to_string(host) + ":" +
                      std::to_string(channel) + ":" + std::to_string(target) + ":" +
                      std::to_string(lun) + "/block";
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    if (names.empty()) return {};
    return *std::min_element(names.begin(), names.end());
}

bool LinuxHostSettings::PollInterval(const std::string& block, long& ms) {
    return ReadNumber(root_ + "/sys/block/" + block + "/events_poll_msecs", ms);
}

bool LinuxHostSettings::DefaultPollInterval(long& ms) {
    return ReadNumber(root_ + "/sys/module/block/parameters/events_dfl_poll_msecs", ms);
}

bool LinuxHostSettings::SetPollInterval(const std::string& block, long ms, std::string& why) {
    std::string path = root_ + "/sys/block/" + block + "/events_poll_msecs";
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = fd >= 0 && WriteAll(fd, std::to_string(ms) + "\n");
    int err = errno;
    if (fd >= 0) ::close(fd);
    if (!ok) why = Failure("write", path, err);
    return ok;
}

bool LinuxHostSettings::AddUdevRule(const std::string& rule, std::string& why) {
    std::string path = root_ + kNoMediaPollRulesPath;
    std::string text;
    if (!ReadFile(path, text)) {
        // Rewriting a file that cannot be read would drop the rules already in it.
        why = Failure("read", path, errno);
        return false;
    }
    if (HasLine(text, rule)) return true;
    if (text.empty()) text = kRulesHeader;
    if (text.back() != '\n') text += '\n';
    if (!ReplaceFile(path, text + rule + "\n", why)) return false;
    if (reloadRules_) reloadRules_();
    return true;
}
