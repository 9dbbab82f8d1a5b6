#include "emu/emulated_host.h"

#include <algorithm>

#include "system/polling_changes.h"
#include "system/runtime.h"
#include "system/trace.h"
#include "system/udev_rule.h"

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

bool EmulatedHostSettings::SetInterval(const std::string& block, long ms, const char* op,
                                       std::string& why) {
    int i = IndexOf(block);
    if (i < 0) {
        why = "no block device " + block;
        return false;
    }
    intervals_[static_cast<size_t>(i)] = ms;
    TraceHost(op, ",\"device\":" + Trace::Str(block) + ",\"ms\":" + std::to_string(ms));
    return true;
}

bool EmulatedHostSettings::SwitchPollingOff(const std::vector<std::string>& blocks,
                                            const std::vector<SysfsModel>& models,
                                            std::string& why) {
    for (const std::string& block : blocks)
        if (!SetInterval(block, 0, "poll-off", why)) return false;
    for (const SysfsModel& model : models) {
        std::string rule = NoMediaPollRule(model);
        if (std::find(rules_.begin(), rules_.end(), rule) != rules_.end()) continue;
        rules_.push_back(rule);
        TraceHost("udev-rule", ",\"path\":" + Trace::Str(kNoMediaPollRulesPath) +
                                   ",\"rule\":" + Trace::Str(rule));
    }
    return true;
}

bool EmulatedHostSettings::RestorePolling(const std::vector<std::string>& blocks,
                                          std::string& why) {
    rules_.clear();
    TraceHost("udev-rule-remove", ",\"path\":" + Trace::Str(kNoMediaPollRulesPath));
    for (const std::string& block : blocks)
        if (!SetInterval(block, -1, "poll-on", why)) return false;
    return true;
}
