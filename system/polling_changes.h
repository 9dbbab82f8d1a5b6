// The changes to media polling that need root, made on the files themselves: by the program when
// it runs as root, and otherwise by the helper that pkexec runs for it (tools/polling-helper),
// which takes its orders as a command line built and parsed here. Every path is taken under a
// root, so that tests run against a tree of their own.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "system/ports.h"

// Where the rule file lives (under the root). Deleting it undoes what the program installed.
constexpr const char* kNoMediaPollRulesPath = "/etc/udev/rules.d/60-discflash-no-media-poll.rules";

// `udevadm control --reload` from the root's /bin, with no environment: udev reads changed rule
// files before its next event.
void ReloadUdevRules(const std::string& root);

class PollingFiles {
  public:
    // root "": the running system. reloadRules runs after the rule file has changed.
    PollingFiles(std::string root, std::function<void()> reloadRules);

    bool SwitchOff(const std::vector<std::string>& blocks, const std::vector<SysfsModel>& models,
                   std::string& why);
    bool Restore(const std::vector<std::string>& blocks, std::string& why);

  private:
    bool SetPollInterval(const std::string& block, long ms, std::string& why);

    std::string root_;
    std::function<void()> reloadRules_;
};

// One change, as the helper's command line carries it:
//   off [--block srN]... [--model VENDOR MODEL]...    restore [--block srN]...
struct PollingRequest {
    bool off = false;
    std::vector<std::string> blocks;
    std::vector<SysfsModel> models;
};

std::vector<std::string> HelperArguments(const PollingRequest& request);
// False with the reason for anything but a command line HelperArguments can make.
bool ParseHelperArguments(const std::vector<std::string>& args, PollingRequest& request,
                          std::string& why);

// The helper's exit statuses.
constexpr int kHelperDone = 0;
constexpr int kHelperStepFailed = 1;
constexpr int kHelperRefused = 2;  // the arguments: nothing was touched

// The helper's work: the arguments checked whole, then the change; the cause on standard error.
int RunPollingHelper(const std::vector<std::string>& args, PollingFiles& files);
