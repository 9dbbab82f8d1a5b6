#include "system/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kWaitStepMs = 100;
// A program that has closed its output is usually ending: it is looked after sooner.
constexpr int kReapStepMs = 5;
constexpr size_t kMaxOutput = 4096;

// Reads what is there; false at the end of the output.
bool ReadSome(int fd, std::string& output) {
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    size_t room = kMaxOutput - std::min(kMaxOutput, output.size());
    output.append(buf, std::min(room, static_cast<size_t>(n)));
    return true;
}

}  // namespace

bool PipeAboveStandard(int fds[2]) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 3);
        ::close(raw[i]);
    }
    if (fds[0] >= 0 && fds[1] >= 0) return true;
    int err = errno;
    for (int i = 0; i < 2; ++i)
        if (fds[i] >= 0) ::close(fds[i]);
    errno = err;
    return false;
}

int StartProgram(const char* path, const std::vector<std::string>& argv, char* const envp[],
                 int outFd, int errFd, bool defaultSignals, pid_t& pid) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, outFd, 1);
    posix_spawn_file_actions_adddup2(&files, errFd, 2);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    if (defaultSignals) posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGMASK | (defaultSignals ? POSIX_SPAWN_SETSIGDEF : 0));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid, path, &files, &attr, args.data(), envp);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    return rc;
}

ProgramEnd SpawnAndWait(const std::vector<std::string>& argv,
                        const std::function<void()>& waiting) {
    ProgramEnd end;
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        end.err = EINVAL;
        return end;
    }
    int out[2];
    if (!PipeAboveStandard(out)) {
        end.err = errno;
        return end;
    }
    char* noEnvironment[] = {nullptr};
    pid_t pid = -1;
    const int rc = StartProgram(argv[0].c_str(), argv, noEnvironment, out[1], out[1], true, pid);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        end.err = rc;
        return end;
    }

    // Until the program has ended and its output is read; a descendant that keeps the pipe open
    // does not hold the wait beyond the program's own end.
    bool open = true, exited = false, known = false;
    int status = 0;
    while (open || !exited) {
        int ready = 0;
        if (open) {
            pollfd p = {out[0], POLLIN, 0};
            ready = ::poll(&p, 1, kWaitStepMs);
            if (ready > 0) open = ReadSome(out[0], end.output);
        }
        if (!exited) {
            pid_t done = ::waitpid(pid, &status, WNOHANG);
            known = done == pid;
            exited = known || (done < 0 && errno == ECHILD);  // ECHILD: reaped elsewhere
            if (!exited && !open) ::poll(nullptr, 0, kReapStepMs);
        } else if (ready == 0) {
            break;  // ended, and nothing more is waiting in the pipe
        }
        if (waiting && (open || !exited)) waiting();
    }
    ::close(out[0]);
    if (known && WIFEXITED(status)) end.status = WEXITSTATUS(status);
    return end;
}
