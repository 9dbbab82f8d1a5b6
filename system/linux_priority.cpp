#include "system/linux_priority.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "system/linux_devices.h"

namespace {

// A thread's id never changes: asked of the kernel once per thread.
id_t ThreadId() {
    thread_local const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
    return tid;
}

}  // namespace

bool LinuxPriority::CanRestore(bool capSysNice, rlim_t rlimitNice, int normal) {
    if (capSysNice) return true;
    if (rlimitNice == RLIM_INFINITY) return true;
    return 20 - static_cast<long long>(rlimitNice) <= normal;
}

LinuxPriority::LinuxPriority() {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    normal_ = (nice == -1 && errno != 0) ? 0 : nice;
    constexpr int kCapSysNice = 23;
    rlimit lim{};
    rlim_t cur = getrlimit(RLIMIT_NICE, &lim) == 0 ? lim.rlim_cur : 0;
    canRestore_ =
        CanRestore(LinuxDevicePort::HasCapability("/proc/self/status", kCapSysNice), cur, normal_);
}

void LinuxPriority::SetLowest() {
    if (!canRestore_) return;
    int lowered = normal_ + kLowerBy > 19 ? 19 : normal_ + kLowerBy;
    setpriority(PRIO_PROCESS, ThreadId(), lowered);
}

void LinuxPriority::SetNormal() {
    if (!canRestore_) return;
    setpriority(PRIO_PROCESS, ThreadId(), normal_);
}
