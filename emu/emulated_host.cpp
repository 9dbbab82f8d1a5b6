#include "emu/emulated_host.h"

#include <algorithm>

#include "system/linux_host_settings.h"
#include "system/runtime.h"
#include "system/trace.h"

namespace {

constexpr const char* kBlockPrefix = "emu:sr";

void TraceHost(const char* op, const std::string& fields) {
    if (rt().trace) rt().trace->Event("host", ",\"op\":\"" + std::string(op) + "\"" + fields);
}

}  // namespace

void EmulatedHost::StartRestart() {
    TraceHost("reboot", std::string(",\"interactive\":") + (interactive_ ? "true" : "false"));
}

EmulatedHostSettings::EmulatedHostSettings(const std::vector<EmulatedDriveSpec>& specs) {
    for (const EmulatedDriveSpec& s : specs) intervals_.push_back(s.poll ? -1 : 0);
}

int EmulatedHostSettings::IndexOf(const std::string& block) const {
    for (size_t i = 0; i < intervals_.size(); ++i)
        if (block == kBlockPrefix + std::to_string(i)) return static_cast<int>(i);
    return -1;
}

// The emulated port puts drive N at host 0, channel 0, target N, LUN 0.
std::string EmulatedHostSettings::BlockDevice(int host, int channel, int target, int lun) {
    if (host != 0 || channel != 0 || lun != 0 || target < 0 ||
        target >= static_cast<int>(intervals_.size()))
        return {};
    return kBlockPrefix + std::to_string(target);
}

bool EmulatedHostSettings::PollInterval(const std::string& block, long& ms) {
    int i = IndexOf(block);
    if (i < 0) return false;
    ms = intervals_[static_cast<size_t>(i)];
    return true;
}

bool EmulatedHostSettings::DefaultPollInterval(long& ms) {
    ms = kDefaultInterval;
    return true;
}

bool EmulatedHostSettings::SetPollInterval(const std::string& block, long ms, std::string& why) {
    int i = IndexOf(block);
    if (i < 0) {
        why = "no block device " + block;
        return false;
    }
    intervals_[static_cast<size_t>(i)] = ms;
    TraceHost(ms == 0 ? "poll-off" : "poll",
              ",\"device\":" + Trace::Str(block) + ",\"ms\":" + std::to_string(ms));
    return true;
}

bool EmulatedHostSettings::AddUdevRule(const std::string& rule, std::string&) {
    if (std::find(rules_.begin(), rules_.end(), rule) != rules_.end()) return true;
    rules_.push_back(rule);
    TraceHost("udev-rule",
              ",\"path\":" + Trace::Str(kNoMediaPollRulesPath) + ",\"rule\":" + Trace::Str(rule));
    return true;
}
