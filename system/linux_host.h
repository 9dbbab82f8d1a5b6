// Host services on Linux, through systemd-logind: the shutdown/sleep inhibitor, and the restart.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "system/ports.h"

// The two logind calls a restart takes, apart so that tests can answer them.
class LogindCalls {
  public:
    virtual ~LogindCalls() = default;
    // CanReboot's answer ("yes", "no", "challenge", "na"); false when the call failed.
    virtual bool CanReboot(std::string& answer) = 0;
    // Reboot(interactive); true when logind accepted the request.
    virtual bool Reboot(bool interactive) = 0;
};

// logind on the system bus. Built without sd-bus, every call fails. An interactive Reboot waits
// up to kInteractiveTimeoutS for the answer: polkit is asking a person for a password.
class SdBusLogind : public LogindCalls {
  public:
    static constexpr unsigned kInteractiveTimeoutS = 180;
    bool CanReboot(std::string& answer) override;
    bool Reboot(bool interactive) override;
};

// The restart: only when logind says this process may restart the machine, at once ("yes") or
// after polkit has asked the user ("challenge"; only an interactive request can be asked).
// 1 when logind accepted the request, 0 otherwise, any bus failure included.
int RequestRestart(LogindCalls& logind, bool interactive);

// The restart's calls run on a worker thread, so that the caller can keep its window alive.
class LinuxHost : public HostPort {
  public:
    // interactive: polkit may ask the user to authenticate the restart (the dialog, not batch).
    explicit LinuxHost(bool interactive,
                       std::unique_ptr<LogindCalls> logind = std::make_unique<SdBusLogind>());
    // Waits for a restart request still in flight: its calls use this object.
    ~LinuxHost() override;
    void StartRestart() override;
    int RestartAnswer() override;
    bool Inhibit(const std::string& why) override;
    void ReleaseInhibit() override;

  private:
    bool interactive_;
    std::unique_ptr<LogindCalls> logind_;
    int inhibitFd_ = -1;
    std::thread restart_;
    std::atomic<int> answer_{0};
};
