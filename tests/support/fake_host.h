// Host ports that record what was asked and touch nothing: for the dialog's tests.
#pragma once

#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "system/linux_host.h"
#include "system/ports.h"

class FakeHost : public HostPort {
  public:
    int restartResult = 0;
    int restarts = 0;
    int restartLooks = 0;  // how often the answer is looked at before it comes
    int pendingLooks = 0;  // ... after each StartRestart
    int inhibits = 0;
    int releases = 0;
    bool held = false;
    std::string lastReason;

    void StartRestart() override {
        ++restarts;
        lookedAt_ = 0;
    }
    int RestartAnswer() override {
        ++restartLooks;
        return lookedAt_++ < pendingLooks ? kRestartPending : restartResult;
    }
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

  private:
    int lookedAt_ = 0;
};

// logind as a test scripts it, for LinuxHost. Reboot answers once `clock` has reached
// `answerAtMs`: a person typing a password while the caller's clock runs on.
struct LogindScript {
    bool canCall = true;
    std::string answer = "yes";
    bool accept = true;
    uint64_t answerAtMs = 0;
    ClockPort* clock = nullptr;
    std::vector<bool> reboots;  // the interactive flag of each Reboot call
};

class ScriptedLogind : public LogindCalls {
  public:
    explicit ScriptedLogind(LogindScript& s) : s_(s) {}
    bool CanReboot(std::string& answer) override {
        if (s_.canCall) answer = s_.answer;
        return s_.canCall;
    }
    bool Reboot(bool interactive) override {
        s_.reboots.push_back(interactive);
        while (s_.clock && s_.clock->ElapsedMs() < s_.answerAtMs) std::this_thread::yield();
        return s_.accept;
    }

  private:
    LogindScript& s_;
};

// Block devices by SCSI address, their polling intervals, and the rules added, in memory.
class FakeHostSettings : public HostSettingsPort {
  public:
    std::map<std::tuple<int, int, int, int>, std::string> blocks;  // address -> "sr0"
    std::map<std::string, long> intervals;                         // missing: unreadable
    long defaultInterval = 2000;
    bool defaultReadable = true;
    std::string refusal;  // when set, every change fails with this cause
    std::vector<std::string> rules;
    std::vector<std::string> switchedOff;  // block devices set to 0, in order

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
    bool SetPollInterval(const std::string& block, long ms, std::string& why) override {
        if (!refusal.empty()) {
            why = refusal;
            return false;
        }
        intervals[block] = ms;
        if (ms == 0) switchedOff.push_back(block);
        return true;
    }
    bool AddUdevRule(const std::string& rule, std::string& why) override {
        if (!refusal.empty()) {
            why = refusal;
            return false;
        }
        for (const std::string& r : rules)
            if (r == rule) return true;
        rules.push_back(rule);
        return true;
    }
};
