// The host of an emulated run: nothing on the real system changes and no restart is requested.
// The trace records what would have been done: {"ev":"host","op":"poll-off"|"udev-rule"|
// "udev-rule-remove"|"poll-on"|"reboot",...}.
#pragma once

#include <string>
#include <vector>

#include "emu/emulated_drive.h"
#include "system/ports.h"

// Restarts are accepted, as logind would accept them, and only traced.
class EmulatedHost : public HostPort {
  public:
    explicit EmulatedHost(bool interactive) : interactive_(interactive) {}
    void StartRestart() override;
    int RestartAnswer() override { return 1; }
    bool Inhibit(const std::string&) override { return true; }
    void ReleaseInhibit() override {}

  private:
    bool interactive_;
};

// The emulated drives' block devices, named like their block nodes ("emu:sr0" for the drive at
// target 0), polled as their poll key says: through the kernel default, as a desktop system
// polls its CD drives.
class EmulatedHostSettings : public HostSettingsPort {
  public:
    static constexpr long kDefaultInterval = 2000;

    explicit EmulatedHostSettings(const std::vector<EmulatedDriveSpec>& specs);
    std::string BlockDevice(int host, int channel, int target, int lun) override;
    bool PollInterval(const std::string& block, long& ms) override;
    bool DefaultPollInterval(long& ms) override;
    bool SwitchPollingOff(const std::vector<std::string>& blocks,
                          const std::vector<SysfsModel>& models, std::string& why) override;
    // The rule file counts as present, so that its removal is always recorded.
    bool RestorePolling(const std::vector<std::string>& blocks, std::string& why) override;

  private:
    int IndexOf(const std::string& block) const;
    bool SetInterval(const std::string& block, long ms, const char* op, std::string& why);

    std::vector<long> intervals_;  // per drive, in option order
    std::vector<std::string> rules_;
};
