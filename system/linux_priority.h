// Thread priority over nice values of the calling thread. An unprivileged thread cannot take
// back a nice value it gave up, so the priority is only lowered where it can be restored.
#pragma once

#include <sys/resource.h>

#include "system/ports.h"

class LinuxPriority : public PriorityPort {
  public:
    // Nice value of the lowered thread, relative to its normal one.
    static constexpr int kLowerBy = 10;

    LinuxPriority();
    void SetLowest() override;
    void SetNormal() override;

    // Can a thread at nice `normal` get back to it after lowering? With CAP_SYS_NICE always;
    // otherwise RLIMIT_NICE allows nice values down to 20 - limit.
    static bool CanRestore(bool capSysNice, rlim_t rlimitNice, int normal);
    bool canRestore() const { return canRestore_; }
    int normalNice() const { return normal_; }

  private:
    int normal_ = 0;
    bool canRestore_ = false;
};
