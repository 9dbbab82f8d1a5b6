// Host services on Linux: the logind shutdown/sleep inhibitor, and the restart request.
#pragma once

#include "system/ports.h"

class LinuxHost : public HostPort {
  public:
    ~LinuxHost() override;
    int RestartSystem() override;
    bool Inhibit(const std::string& why) override;
    void ReleaseInhibit() override;

  private:
    int inhibitFd_ = -1;
};

// For emulated runs and tests: records what was asked, touches nothing.
class FakeHost : public HostPort {
  public:
    int restartResult = 0;
    int restarts = 0;
    int inhibits = 0;
    int releases = 0;
    bool held = false;
    std::string lastReason;

    int RestartSystem() override {
        ++restarts;
        return restartResult;
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
};
