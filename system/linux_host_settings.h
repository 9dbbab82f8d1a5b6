// The host-settings port on Linux: media polling in sysfs, the program's udev rule file in
// /etc/udev/rules.d. Every path is taken under a root, so that tests run against a tree of
// their own.
#pragma once

#include <functional>
#include <string>

#include "system/ports.h"

// Where the rule file lives (under the root). Deleting it undoes what the program installed.
constexpr const char* kNoMediaPollRulesPath = "/etc/udev/rules.d/60-discflash-no-media-poll.rules";

// `udevadm control --reload`: udev reads changed rule files before its next event.
void ReloadUdevRules();

class LinuxHostSettings : public HostSettingsPort {
  public:
    // root "": the running system. reloadRules runs after the rule file has changed.
    explicit LinuxHostSettings(std::string root = "",
                               std::function<void()> reloadRules = ReloadUdevRules);

    std::string BlockDevice(int host, int channel, int target, int lun) override;
    bool PollInterval(const std::string& block, long& ms) override;
    bool DefaultPollInterval(long& ms) override;
    bool SetPollInterval(const std::string& block, long ms, std::string& why) override;
    bool AddUdevRule(const std::string& rule, std::string& why) override;

  private:
    std::string root_;
    std::function<void()> reloadRules_;
};
