// Host ports that record what was asked and touch nothing: for the dialog's tests.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "system/ports.h"

class FakeHost : public HostPort {
  public:
    int restartResult = 0;
    int restarts = 0;
    int pendingLooks = 0;  // looks at the answer before it comes
    int inhibits = 0;
    int releases = 0;
    bool held = false;
    std::string lastReason;

    void StartRestart() override { ++restarts; }
    int RestartAnswer() override { return pendingLooks-- > 0 ? kRestartPending : restartResult; }
    bool Inhibit(const std::string& why) override {
        ++inhibits;
        held = true;
        lastReason = why;
        return true;
    }
    void ReleaseInhibit() override {
        ++releases;
        held = false;
    }
};

// Block devices by SCSI address, their polling intervals, and the changes asked for, in memory.
class FakeHostSettings : public HostSettingsPort {
  public:
    std::map<std::tuple<int, int, int, int>, std::string> blocks;  // address -> "sr0"
    std::map<std::string, long> intervals;                         // missing: unreadable
    long defaultInterval = 2000;
    bool defaultReadable = true;
    std::string refusal;                   // when set, every change fails with this cause
    std::vector<std::string> switchedOff;  // block devices, in the order asked
    std::vector<SysfsModel> models;        // whose rules were asked for
    std::vector<std::string> restored;
    int changes = 0;
    std::function<void()> whileChanging;  // runs inside a switch-off, as a window pump would

    std::string BlockDevice(int host, int channel, int target, int lun) override {
        auto it = blocks.find({host, channel, target, lun});
        return it == blocks.end() ? std::string() : it->second;
    }
    bool PollInterval(const std::string& block, long& ms) override {
        auto it = intervals.find(block);
        if (it == intervals.end()) return false;
        ms = it->second;
        return true;
    }
    bool DefaultPollInterval(long& ms) override {
        ms = defaultInterval;
        return defaultReadable;
    }
    bool SwitchPollingOff(const std::vector<std::string>& off, const std::vector<SysfsModel>& m,
                          std::string& why) override {
        ++changes;
        if (whileChanging) whileChanging();
        why = refusal;
        if (!refusal.empty()) return false;
        switchedOff = off;
        models = m;
        return true;
    }
    bool RestorePolling(const std::vector<std::string>& on, std::string& why) override {
        ++changes;
        why = refusal;
        if (!refusal.empty()) return false;
        restored = on;
        return true;
    }
};
