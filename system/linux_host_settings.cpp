#include "system/linux_host_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "system/runtime.h"

#ifndef DISCFLASH_POLLING_HELPER
#error "DISCFLASH_POLLING_HELPER: the helper's installed path, set by the build"
#endif
const char* const kPollingHelperPath = DISCFLASH_POLLING_HELPER;

namespace {

namespace fs = std::filesystem;

// pkexec's own statuses; the helper uses neither.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;

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

std::string Trimmed(std::string text) {
    text.erase(text.find_last_not_of(" \n") + 1);
    return text;
}

// What a run of pkexec and the helper that did not end well comes to, for the user.
std::string HelperFailure(const ProgramEnd& end) {
    std::string said = Trimmed(end.output);
    if (end.err == ENOENT)
        return std::string(kPkexecPath) +
               " is missing (Debian package pkexec): install it, or run the program as root";
    if (end.err != 0) return std::string("cannot run ") + kPkexecPath + ": " + strerror(end.err);
    if (end.status == kPkexecDismissed) return "the authentication was dismissed";
    if (end.status == kPkexecNotAuthorised)
        return "polkit did not authorise the change" + (said.empty() ? "" : " (" + said + ")");
    if (!said.empty()) return said;
    return end.status < 0 ? "pkexec or the helper was ended by a signal"
                          : "the helper ended with status " + std::to_string(end.status);
}

}  // namespace

LinuxHostSettings::LinuxHostSettings(std::string root, std::function<void()> reloadRules,
                                     Spawner spawner, std::string helperPath)
    : root_(root),
      files_(std::move(root), std::move(reloadRules)),
      spawner_(std::move(spawner)),
      helperPath_(std::move(helperPath)) {}

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

bool LinuxHostSettings::SwitchPollingOff(const std::vector<std::string>& blocks,
                                         const std::vector<SysfsModel>& models, std::string& why) {
    if (spawner_) return ThroughHelper({true, blocks, models}, why);
    return files_.SwitchOff(blocks, models, why);
}

bool LinuxHostSettings::RestorePolling(const std::vector<std::string>& blocks, std::string& why) {
    if (spawner_) return ThroughHelper({false, blocks, {}}, why);
    return files_.Restore(blocks, why);
}

bool LinuxHostSettings::ThroughHelper(const PollingRequest& request, std::string& why) {
    struct stat st;
    if (::stat(helperPath_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "helper not installed: " + helperPath_ +
              "; install the discflash package, or run the program as root";
        return false;
    }
    std::vector<std::string> argv = {kPkexecPath, helperPath_};
    for (std::string& arg : HelperArguments(request)) argv.push_back(std::move(arg));
    ProgramEnd end = spawner_(argv);
    if (end.err == 0 && end.status == kHelperDone) return true;
    why = HelperFailure(end);
    return false;
}

std::unique_ptr<HostSettingsPort> LinuxHostSettingsForThisProcess() {
    auto reload = [] { ReloadUdevRules(""); };
    if (::geteuid() == 0) return std::make_unique<LinuxHostSettings>("", reload);
    auto spawn = [](const std::vector<std::string>& argv) {
        return SpawnAndWait(argv, [] {
            if (rt().ui) rt().ui->PumpMessages();
        });
    };
    return std::make_unique<LinuxHostSettings>("", reload, spawn);
}
