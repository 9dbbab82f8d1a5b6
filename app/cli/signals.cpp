#include "app/cli/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <vector>

#include "system/download_guard.h"

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<bool> g_stopAtOnce{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from the signal handler");

// Every signal whose default ends the process and that asks the program to end.
std::vector<int> HeldSignals() {
    std::vector<int> held = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR2,  SIGALRM,
                             SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGSTKFLT};
    // SIGRTMIN, not __SIGRTMIN: the C library keeps the first real-time signals for itself.
    for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) held.push_back(signo);
    return held;
}

bool IsStop(int signo) {
    return signo != SIGUSR1;
}

// Async-signal-safe: the line is built by hand and written whole, then the process ends.
[[noreturn]] void EndNow(int signo) {
    char line[32] = "stopped by signal ";
    size_t n = sizeof "stopped by signal " - 1;
    if (signo >= 10) line[n++] = static_cast<char>('0' + signo / 10 % 10);
    line[n++] = static_cast<char>('0' + signo % 10);
    line[n++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, n);
    (void)ignored;
    _exit(128 + signo);
}

// Only async-signal-safe calls in here: one write, errno kept for the interrupted code.
extern "C" void OnSignal(int signo) {
    if (IsStop(signo) && g_stopAtOnce.load() && !ProcedureRunning()) EndNow(signo);
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
    std::vector<int> caught = HeldSignals();
    caught.insert(caught.begin(), SIGUSR1);
    for (int signo : caught) {
        struct sigaction old {};
        // Whoever started the program ignored it on purpose (nohup, a background job).
        if (sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        sigaction(signo, &sa, nullptr);
    }
}

bool IsHeldSignal(int signo) {
    const std::vector<int> held = HeldSignals();
    return std::find(held.begin(), held.end(), signo) != held.end();
}

void IgnoreReportingSignals() {
    for (int signo : {SIGPIPE, SIGXFSZ, SIGIO}) signal(signo, SIG_IGN);
}

void SetStopAtOnce(bool on) {
    g_stopAtOnce.store(on);
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
