// The host-settings port on Linux: media polling in sysfs, the program's udev rule file in
// /etc/udev/rules.d. Reading needs no rights. Changes need root: a process that is root makes
// them itself; any other has pkexec run the helper installed with the program, which asks for
// an administrator's password and makes them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "system/polling_changes.h"
#include "system/ports.h"
#include "system/spawn.h"

// Where the helper and pkexec are; the helper's place is fixed when the program is built, and is
// the one the polkit policy names.
extern const char* const kPollingHelperPath;
constexpr const char* kPkexecPath = "/usr/bin/pkexec";

// How the helper is started: SpawnAndWait, or a test's stand-in.
using Spawner = std::function<ProgramEnd(const std::vector<std::string>& argv)>;

class LinuxHostSettings : public HostSettingsPort {
  public:
    // root "": the running system; every path is taken under it. With a spawner, changes go
    // through pkexec and the helper at helperPath; without, straight to the files.
    LinuxHostSettings(std::string root, std::function<void()> reloadRules,
                      Spawner spawner = nullptr, std::string helperPath = kPollingHelperPath);

    std::string BlockDevice(int host, int channel, int target, int lun) override;
    bool PollInterval(const std::string& block, long& ms) override;
    bool DefaultPollInterval(long& ms) override;
    bool SwitchPollingOff(const std::vector<std::string>& blocks,
                          const std::vector<SysfsModel>& models, std::string& why) override;
    bool RestorePolling(const std::vector<std::string>& blocks, std::string& why) override;

  private:
    bool ThroughHelper(const PollingRequest& request, std::string& why);

    std::string root_;
    PollingFiles files_;
    Spawner spawner_;
    std::string helperPath_;
};

// The port for this process: changes through the helper unless it runs as root. Waiting for the
// helper, the user interface keeps pumping.
std::unique_ptr<HostSettingsPort> LinuxHostSettingsForThisProcess();
