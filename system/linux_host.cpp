#include "system/linux_host.h"

#include <fcntl.h>
#include <unistd.h>

#ifdef DISCFLASH_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

LinuxHost::~LinuxHost() {
    ReleaseInhibit();
}

int LinuxHost::RestartSystem() {
    // Restarting the computer is not offered on Linux yet: the request is refused, which
    // callers treat as "the computer keeps running".
    return 0;
}

bool LinuxHost::Inhibit(const std::string& why) {
    if (inhibitFd_ >= 0) return true;
#ifdef DISCFLASH_HAVE_SDBUS
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;  // no logind: nothing to hold
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                               "shutdown:sleep", "discflash", why.c_str(), "block");
    if (r >= 0) {
        int fd = -1;
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
            // The message owns its descriptor; keep a copy for as long as the block lasts.
            inhibitFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_unref(bus);
    return inhibitFd_ >= 0;
#else
    (void)why;
    return false;
#endif
}

void LinuxHost::ReleaseInhibit() {
    if (inhibitFd_ >= 0) {
        close(inhibitFd_);
        inhibitFd_ = -1;
    }
}
