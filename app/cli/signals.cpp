#include "app/cli/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace {

int g_pipe[2] = {-1, -1};

// Only async-signal-safe calls in here: one write, errno kept for the interrupted code.
extern "C" void OnSignal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe drops the signal: hundreds of unread ones say nothing more than one.
    ssize_t ignored = write(g_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

void InstallSignalPipe() {
    if (g_pipe[0] >= 0) return;  // the dialog and the console front end may both ask
    if (pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;  // without a pipe the default dispositions stay
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGUSR1, SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &sa, nullptr);
}

int SignalPipeFd() {
    return g_pipe[0];
}

int TakeSignal() {
    if (g_pipe[0] < 0) return 0;
    unsigned char byte = 0;
    ssize_t n;
    do {
        n = read(g_pipe[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? byte : 0;
}
