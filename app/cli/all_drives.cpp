#include "app/cli/all_drives.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/cli/console_ui.h"
#include "app/cli/drive_list.h"
#include "app/cli/options.h"
#include "app/cli/signals.h"
#include "drives/main_dialog.h"
#include "scsi/transport.h"
#include "system/printable.h"
#include "system/runtime.h"
#include "system/spawn.h"

extern char** environ;

namespace {

// The batch front end's lines that the summary takes from a drive's run.
constexpr char kIdentityAfter[] = "identity after: ";
constexpr char kOutcome[] = "outcome: ";
constexpr char kNothingDone[] = ": nothing was done: ";
constexpr char kAnswer[] = "  -> ";
// A run's line longer than this is forwarded in parts, each part a line with the node in front.
constexpr size_t kLongestLine = 4096;
// How often runs without a pidfd are looked for, while nothing else happens.
constexpr int kReapEveryMs = 100;

// One of a run's two pipes, and where its lines go.
struct Stream {
    int fd = -1;
    FILE* to = nullptr;
    std::string partial;  // the start of a line not ended yet
};

// One drive and the batch run that downloads into it.
struct Run {
    int index = 0;  // in the scan's list
    std::string node;
    std::string identityBefore;  // INQUIRY bytes 8 to 35 from the scan
    pid_t pid = -1;
    int endFd = -1;      // a pidfd: readable once the run has ended
    int startError = 0;  // errno of a run that could not be started
    bool started = false;
    bool reaped = false;
    int status = 0;
    Stream out, err;
    // Taken from the run's own lines.
    std::string identityAfter;  // as printed, already printable
    std::string outcome;        // complete, failed, nothing done: the download's end
    std::string lastBox;        // the text of the last box, its lines joined by blanks
    bool inBox = false;
    std::string nothingDone;  // why nothing was done

    bool Done() const { return !started || (reaped && out.fd < 0 && err.fd < 0); }
};

// Every listed drive of the program's group, compared as the scan selects: any field of the
// group, the loader's identity included.
std::vector<Run> DrivesOfGroup(const CDISCFLASHDlg& dialog) {
    std::vector<Run> runs;
    for (int j = 0; j < driveCount; ++j) {
        const DriveRecord& d = driveTable[j];
        if (d.node.empty() || GroupFieldMatch(dialog.m_nCompareLength, currentGroup,
                                              currentGroupCount, d.inquiry) < 0)
            continue;
        Run run;
        run.index = j;
        run.node = d.node;
        run.identityBefore.assign(d.IdentityText(), strnlen(d.IdentityText(), 28));
        runs.push_back(std::move(run));
    }
    return runs;
}

// The run's command line: this program under the same name, in batch mode, with the options
// given here but those that choose drives or files, then its own drive, trace and the image.
std::vector<std::string> RunArguments(const Options& o, int argc, char** argv, const Run& run) {
    std::vector<std::string> args = {argv[0], "--batch"};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") break;                                // only the image follows
        if (a.empty() || a[0] != '-' || a == "-") continue;  // the image
        if (a == "--all" || a == "--batch" || a.rfind("--device=", 0) == 0 ||
            a.rfind("--trace=", 0) == 0)
            continue;
        args.push_back(a);
    }
    args.push_back("--device=" + run.node);
    if (!o.tracePath.empty())
        args.push_back("--trace=" + o.tracePath + "." + std::to_string(run.index));
    args.push_back("--");
    args.push_back(o.firmwarePath);
    return args;
}

// Starts the run: no shell, this very binary, standard input from /dev/null, its output on
// pipes, no other descriptor of this process, no signal blocked.
void Start(Run& run, const std::vector<std::string>& args) {
    int out[2], err[2];
    if (!PipeAboveStandard(out)) {
        run.startError = errno;
        return;
    }
    if (!PipeAboveStandard(err)) {
        run.startError = errno;
        close(out[0]);
        close(out[1]);
        return;
    }
    run.startError = StartProgram("/proc/self/exe", args, environ, out[1], err[1], false, run.pid);
    close(out[1]);
    close(err[1]);
    if (run.startError != 0) {
        close(out[0]);
        close(err[0]);
        return;
    }
    run.started = true;
    run.endFd = static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0));
    run.out = {out[0], stdout, {}};
    run.err = {err[0], stderr, {}};
}

// What the summary needs from the run's standard output: the identity after, the last box.
void LearnFromOutput(Run& run, const std::string& line) {
    if (line.rfind(kIdentityAfter, 0) == 0) {
        run.identityAfter = line.substr(sizeof kIdentityAfter - 1);
    } else if (line.rfind(kOutcome, 0) == 0) {
        run.outcome = line.substr(sizeof kOutcome - 1);
    } else if (line.size() > 2 && line.front() == '[' && line.back() == ')' &&
               line.find("] (") != std::string::npos) {
        run.lastBox.clear();
        run.inBox = true;
        return;
    } else if (run.inBox && line.rfind("  ", 0) == 0 && line.rfind(kAnswer, 0) != 0) {
        run.lastBox += (run.lastBox.empty() ? "" : " ") + line.substr(2);
        return;
    }
    run.inBox = false;
}

// Forwards one line whole, the drive's node in front.
void Forward(Run& run, Stream& s, const std::string& line) {
    std::fprintf(s.to, "%s: %s\n", run.node.c_str(), line.c_str());
    std::fflush(s.to);
    if (&s == &run.out) {
        LearnFromOutput(run, line);
    } else if (size_t at = line.find(kNothingDone); at != std::string::npos) {
        run.nothingDone = line.substr(at + sizeof kNothingDone - 1);
    }
}

// Reads what the pipe holds; whole lines go on, a line the run never ended goes at its end.
void Drain(Run& run, Stream& s) {
    char buffer[4096];
    ssize_t n;
    do {
        n = read(s.fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        s.partial.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = s.partial.find('\n', start)) != std::string::npos; start = nl + 1)
            Forward(run, s, s.partial.substr(start, nl - start));
        s.partial.erase(0, start);
        while (s.partial.size() >= kLongestLine) {
            Forward(run, s, s.partial.substr(0, kLongestLine));
            s.partial.erase(0, kLongestLine);
        }
        return;
    }
    if (n < 0 && errno == EAGAIN) return;
    if (!s.partial.empty()) Forward(run, s, s.partial);
    s.partial.clear();
    close(s.fd);
    s.fd = -1;
}

// The download's own end where the run said it (a stop that came during the download may have
// given the run a status of its own), else what its status tells.
std::string OutcomeText(const Run& run, int stopBeforeStart) {
    if (run.startError)
        return "gone: could not be started (" + std::string(std::strerror(run.startError)) + ")";
    if (!run.started)
        return "nothing done: not started (signal " + std::to_string(stopBeforeStart) + ")";
    if (run.outcome == "complete") return run.outcome;
    if (run.outcome == "failed") return "failed: " + run.lastBox;
    if (run.outcome == "nothing done") return "nothing done: " + run.nothingDone;
    if (WIFSIGNALED(run.status)) {
        const int signo = WTERMSIG(run.status);
        if (IsHeldSignal(signo)) return "ended by signal " + std::to_string(signo);
        return "gone: killed by signal " + std::to_string(signo) + " (" + strsignal(signo) + ")";
    }
    const int code = WEXITSTATUS(run.status);
    if (code == kExitRefused) return "nothing done: " + run.lastBox;  // its start-up's box
    if (code > 128 && IsHeldSignal(code - 128))
        return "ended by signal " + std::to_string(code - 128);
    return "gone: exit status " + std::to_string(code);
}

void PrintSummary(const std::vector<Run>& runs, int stopBeforeStart) {
    std::vector<std::vector<std::string>> rows = {
        {"node", "identity before", "identity after", "outcome"}};
    int complete = 0;
    for (const Run& run : runs) {
        rows.push_back({run.node, Printable(run.identityBefore),
                        run.identityAfter.empty() ? "-" : run.identityAfter,
                        OutcomeText(run, stopBeforeStart)});
        complete += rows.back()[3] == "complete";
    }
    std::printf("summary: %d of %zu drives complete\n%s", complete, runs.size(),
                TextTable(rows, "  ").c_str());
    std::fflush(stdout);
}

// The first stop signal waiting, passed on to every run started; 0 when none waits.
int TakeStop(std::vector<Run>& runs, int stop) {
    while (int signo = TakeSignal()) {
        if (!IsHeldSignal(signo) || stop) continue;
        stop = signo;
        for (const Run& run : runs)
            if (run.started && !run.reaped) kill(run.pid, signo);
        std::fprintf(stderr,
                     "signal %d received: passed to the running downloads, stopping after them\n",
                     signo);
        std::fflush(stderr);
    }
    return stop;
}

// Until every run has ended and its lines are out. A run's end wakes the loop through its pidfd;
// without one, runs are looked for every kReapEveryMs.
int Supervise(std::vector<Run>& runs, int stop) {
    while (!std::all_of(runs.begin(), runs.end(), [](const Run& r) { return r.Done(); })) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Run*, Stream*>> streams;
        bool blind = false;
        if (SignalPipeFd() >= 0) fds.push_back({SignalPipeFd(), POLLIN, 0});
        for (Run& run : runs) {
            if (run.started && !run.reaped) {
                if (run.endFd >= 0) fds.push_back({run.endFd, POLLIN, 0});
                blind |= run.endFd < 0;
            }
        }
        const size_t first = fds.size();
        for (Run& run : runs)
            for (Stream* s : {&run.out, &run.err})
                if (s->fd >= 0) {
                    fds.push_back({s->fd, POLLIN, 0});
                    streams.push_back({&run, s});
                }
        if (poll(fds.data(), fds.size(), blind ? kReapEveryMs : -1) < 0 && errno != EINTR) break;
        stop = TakeStop(runs, stop);
        for (size_t i = 0; i < streams.size(); ++i)
            if (fds[first + i].revents) Drain(*streams[i].first, *streams[i].second);
        for (Run& run : runs) {
            if (!run.started || run.reaped || waitpid(run.pid, &run.status, WNOHANG) != run.pid)
                continue;
            run.reaped = true;
            if (run.endFd >= 0) close(run.endFd);
            run.endFd = -1;
        }
    }
    return stop;
}

}  // namespace

std::string AllDrivesRefusal() {
    const std::string& id = rt().programId;
    for (int i = 0; i < kGenericIdsSize; ++i)
        if (!id.empty() && std::strncmp(kGenericIds[i], id.c_str(), id.size()) == 0)
            return "--all runs under a drive family's program name (LD3410 ... LDMULTI), not "
                   "under " +
                   rt().appTitle + ", which takes a drive of any family";
    return {};
}

int RunAllDrives(const Options& o, int argc, char** argv, UiPort* (*wrapUi)(UiPort*)) {
    // The scan as a batch run's: a stop ends it at once.
    SetStopAtOnce(true);
    ConsoleUi console(stdout, stderr, o.yes, false);
    rt().ui = wrapUi(&console);
    CDISCFLASHDlg dialog;
    if (!dialog.OnInitDialog()) return kExitRefused;
    console.PrintDrives();
    std::vector<Run> runs = DrivesOfGroup(dialog);
    if (runs.empty()) return kExitRefused;
    std::string nodes;
    for (const Run& run : runs) nodes += " " + run.node;
    std::printf("--all: %zu drive%s:%s\n", runs.size(), runs.size() == 1 ? "" : "s", nodes.c_str());
    std::fflush(stdout);

    // From here downloads may run: a stop waits for them. A run whose parent is gone finishes its
    // download rather than dying at its next line: every run ignores SIGPIPE from its start.
    SetStopAtOnce(false);
    int stop = 0, stopBeforeStart = 0;
    for (Run& run : runs) {
        // No download starts after a stop.
        if ((stop = TakeStop(runs, stop)) != 0) {
            stopBeforeStart = stop;
            break;
        }
        Start(run, RunArguments(o, argc, argv, run));
        if (run.started)
            std::printf("--all: %s started as process %d\n", run.node.c_str(), run.pid);
        std::fflush(stdout);
    }
    stop = Supervise(runs, stop);
    PrintSummary(runs, stopBeforeStart);
    if (stop) return 128 + stop;
    const bool allComplete = std::all_of(runs.begin(), runs.end(), [&](const Run& r) {
        return OutcomeText(r, stopBeforeStart) == "complete";
    });
    return allComplete ? kExitOk : kExitFailed;
}
