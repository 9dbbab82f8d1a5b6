#include "system/linux_host.h"

#include <fcntl.h>
#include <unistd.h>

#ifdef DISCFLASH_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace {

#ifdef DISCFLASH_HAVE_SDBUS
// One method call on logind's manager; `read` takes what it needs from the reply. False when
// the bus cannot be reached, the call fails or the reply does not read. An interactive call
// waits long enough for a person to answer polkit; sd-bus's default (25 s) would give up on
// them, and logind could then restart after the caller had taken the request as failed.
template <typename Read, typename... Args>
bool CallLogind(const char* method, bool interactive, Read read, const char* types, Args... args) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    // Lets polkit ask the user (through the session's agent) instead of refusing outright.
    sd_bus_set_allow_interactive_authorization(bus, interactive);
    const uint64_t timeoutUs =
        interactive ? uint64_t{SdBusLogind::kInteractiveTimeoutS} * 1000000u : 0;  // 0: default
    sd_bus_message* call = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    bool ok = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                             "/org/freedesktop/login1",
                                             "org.freedesktop.login1.Manager", method) >= 0 &&
              sd_bus_message_append(call, types, args...) >= 0 &&
              sd_bus_call(bus, call, timeoutUs, &error, &reply) >= 0 && read(reply);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_unref(bus);
    return ok;
}
#endif

}  // namespace

bool SdBusLogind::CanReboot(std::string& answer) {
#ifdef DISCFLASH_HAVE_SDBUS
    return CallLogind(
        "CanReboot", false,
        [&](sd_bus_message* reply) {
            const char* text = nullptr;
            if (sd_bus_message_read(reply, "s", &text) < 0 || !text) return false;
            answer = text;
            return true;
        },
        "");
#else
    (void)answer;
    return false;
#endif
}

bool SdBusLogind::Reboot(bool interactive) {
#ifdef DISCFLASH_HAVE_SDBUS
    return CallLogind(
        "Reboot", interactive, [](sd_bus_message*) { return true; }, "b",
        static_cast<int>(interactive));
#else
    (void)interactive;
    return false;
#endif
}

int RequestRestart(LogindCalls& logind, bool interactive) {
    std::string answer;
    if (!logind.CanReboot(answer)) return 0;
    if (answer != "yes" && answer != "challenge") return 0;
    return logind.Reboot(interactive) ? 1 : 0;
}

LinuxHost::LinuxHost(bool interactive, std::unique_ptr<LogindCalls> logind)
    : interactive_(interactive), logind_(std::move(logind)) {}

LinuxHost::~LinuxHost() {
    if (restart_.joinable()) restart_.join();
    ReleaseInhibit();
}

void LinuxHost::StartRestart() {
    if (restart_.joinable()) restart_.join();
    answer_.store(kRestartPending);
    restart_ = std::thread([this] { answer_.store(RequestRestart(*logind_, interactive_)); });
}

int LinuxHost::RestartAnswer() {
    const int answer = answer_.load();
    if (answer != kRestartPending && restart_.joinable()) restart_.join();
    return answer;
}

bool LinuxHost::Inhibit(const std::string& why) {
    if (inhibitFd_ >= 0) return true;
#ifdef DISCFLASH_HAVE_SDBUS
    // No logind: nothing to hold.
    return CallLogind(
        "Inhibit", false,
        [&](sd_bus_message* reply) {
            int fd = -1;
            if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return false;
            // The message owns its descriptor; keep a copy for as long as the block lasts.
            inhibitFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            return inhibitFd_ >= 0;
        },
        "ssss", "shutdown:sleep", "discflash", why.c_str(), "block");
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
