// What stands around the program when it starts: its descriptors, signals, environment and
// display. The real binary, started as a hostile parent might start it.
#include "app/cli/startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/signals.h"

extern char** environ;

namespace {

// How the program is started.
struct Start {
    std::string name = "LD3411";  // argv[0], which picks the family
    std::vector<std::string> args;
    std::string binary = "discflash";
    const std::vector<std::string>* env = nullptr;  // null: the test's own
    std::vector<int> closed;                        // descriptors it starts without
    bool readerGone = false;   // standard output and error: a pipe whose reader has closed
    std::vector<int> ignored;  // signals it starts with ignored
    std::string stopAfter;     // SIGTERM once standard error shows this
};

struct Ended {
    int status = -1;  // the exit status; 1000 + N when killed by signal N
    std::string out, err;
};

std::string Temp(const std::string& name) {
    return ::testing::TempDir() + "discflash_start_" + std::to_string(getpid()) + "_" + name;
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

Ended Started(const Start& s) {
    const std::string binary = std::string(DISCFLASH_BIN_DIR) + "/" + s.binary;
    const std::string outPath = Temp("out");
    std::vector<std::string> argv = {s.name};
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    std::vector<std::string> env;
    for (char** e = environ; !s.env && *e; ++e) env.emplace_back(*e);
    if (s.env) env = *s.env;
    std::vector<char*> argp = Pointers(argv), envp = Pointers(env);
    const std::vector<int> held = HeldSignals();

    int err[2];
    // Close-on-exec: the program gets them as 0, 1 and 2 only.
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (s.readerGone) close(err[0]);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = s.readerGone
                        ? err[1]
                        : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err[1], 2);
        for (int fd : s.closed) close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signo : held) signal(signo, SIG_DFL);
        for (int signo : s.ignored) signal(signo, SIG_IGN);
        execve(binary.c_str(), argp.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    if (!s.readerGone) close(err[1]);
    Ended e;
    bool stopped = s.stopAfter.empty();
    char buffer[4096];
    while (!s.readerGone) {
        pollfd p{err[0], POLLIN, 0};
        // Only a program that hangs makes this wait; a finished one closes the pipe.
        if (poll(&p, 1, 30000) != 1) {
            ADD_FAILURE() << "no end in sight: " << e.err;
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(err[0], buffer, sizeof buffer);
        if (n <= 0) break;
        e.err.append(buffer, static_cast<size_t>(n));
        if (!stopped && Has(e.err, s.stopAfter)) stopped = kill(pid, SIGTERM) == 0;
    }
    if (!s.readerGone) close(err[0]);
    int raw = 0;
    EXPECT_EQ(waitpid(pid, &raw, 0), pid);
    e.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
    e.out = Slurp(outPath);
    std::remove(outPath.c_str());
    return e;
}

// A sample image of the family, removed with the object.
struct Image {
    explicit Image(const std::string& family) : path(Temp(family + ".bin")) {
        const std::string mk =
            std::string(DISCFLASH_BIN_DIR) + "/discflash-mkimage " + family + " " + path;
        EXPECT_EQ(std::system((mk + " >/dev/null").c_str()), 0);
    }
    ~Image() { std::remove(path.c_str()); }
    std::string path;
};

constexpr char kComplete[] = "  Down Load complete\n";

}  // namespace

// Whatever reaches the program, a download runs to its end. A held signal ends the program
// afterwards (at once outside a download, 128 + N); an ignored one changes nothing.
TEST(Startup, SignalsNeverCutADownloadShort) {
    Image image("LD3411");
    struct Case {
        std::string signal;  // as the emulated drive's key takes it
        int signo;
        bool held;
        bool inside;  // also sent inside a download, not only at the scan
        std::vector<int> ignoredAtStart;
    };
    const Case cases[] = {
        {"INT", SIGINT, true, false, {}},       {"QUIT", SIGQUIT, true, true, {}},
        {"USR2", SIGUSR2, true, false, {}},     {"ALRM", SIGALRM, true, false, {}},
        {"VTALRM", SIGVTALRM, true, false, {}}, {"PROF", SIGPROF, true, false, {}},
        {"XCPU", SIGXCPU, true, false, {}},     {"PWR", SIGPWR, true, false, {}},
        {"STKFLT", SIGSTKFLT, true, false, {}}, {"RTMIN", SIGRTMIN, true, false, {}},
        {"RTMAX", SIGRTMAX, true, true, {}},    {"PIPE", SIGPIPE, false, true, {}},
        {"XFSZ", SIGXFSZ, false, true, {}},     {"IO", SIGIO, false, false, {}},
        {"HUP", SIGHUP, false, true, {SIGHUP}}, {"QUIT", SIGQUIT, false, false, {SIGQUIT}},
    };
    for (const Case& c : cases) {
        // At the scan's INQUIRY, outside a download; at the second piece of the image, inside.
        for (const std::string at : {"12", "3B@2"}) {
            const bool inside = at != "12";
            if (inside && !c.inside) continue;
            SCOPED_TRACE(c.signal + "@" + at + (c.ignoredAtStart.empty() ? "" : ", nohup"));
            Start s;
            s.args = {"--batch", "--emulate=LD3411,signal=" + c.signal + "@" + at, image.path};
            s.ignored = c.ignoredAtStart;
            const Ended e = Started(s);
            const bool atOnce = c.held && !inside;
            EXPECT_EQ(e.status, atOnce ? 128 + c.signo : 0) << e.err;
            EXPECT_EQ(Has(e.out, kComplete), !atOnce) << e.out;
            const std::string n = std::to_string(c.signo);
            EXPECT_EQ(
                Has(e.err, "stopped by signal " + n + (atOnce ? "\n" : " after the download")),
                c.held)
                << e.err;
        }
    }
}

// With its console gone before it starts, the program still downloads to the end, and says
// nothing more to it.
TEST(Startup, AConsoleWithoutReaderNeverEndsADownload) {
    Image image("LD3411");
    const std::string trace = Temp("pipe.jsonl");
    Start s;
    s.args = {"--batch",          "--emulate=LD3411", "--device=emu:sr1",
              "--device=emu:sr0", "--trace=" + trace, image.path};
    s.readerGone = true;
    const Ended e = Started(s);
    EXPECT_EQ(e.status, 0);
    const std::string t = Slurp(trace);
    std::remove(trace.c_str());
    EXPECT_TRUE(Has(t, "\"text\":\"Down Load complete\"")) << t;
}

// A closed standard descriptor is never taken by a file the program opens: the trace holds
// trace lines only, and the signal pipe no console text.
TEST(Startup, ClosedStandardDescriptorsTakeNoFile) {
    Image image("LD3411");
    const std::vector<int> cases[] = {{1}, {0, 1, 2}};
    for (const std::vector<int>& closed : cases) {
        SCOPED_TRACE(closed.size());
        const std::string trace = Temp("closed.jsonl");
        Start s;
        // The ignored --device makes a note for standard error.
        s.args = {"--batch",          "--emulate=LD3411", "--device=emu:sr1",
                  "--device=emu:sr0", "--trace=" + trace, image.path};
        s.closed = closed;
        const Ended e = Started(s);
        EXPECT_EQ(e.status, 0) << e.err;
        std::istringstream lines(Slurp(trace));
        std::remove(trace.c_str());
        int count = 0;
        bool complete = false;
        for (std::string line; std::getline(lines, line); ++count) {
            EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
            complete = complete || Has(line, "\"text\":\"Down Load complete\"");
        }
        EXPECT_GT(count, 10);
        EXPECT_TRUE(complete);
    }
}

TEST(Startup, SecureEnvironmentKeepsOnlyWhatTheWindowNeeds) {
    struct Case {
        const char* entry;
        bool kept;
    };
    const Case cases[] = {
        {"DISPLAY=:0", true},
        {"WAYLAND_DISPLAY=wayland-0", true},
        {"XAUTHORITY=/run/user/1000/xauth", true},
        {"XDG_RUNTIME_DIR=/run/user/1000", true},
        {"HOME=/home/u", true},
        {"TZ=Europe/Berlin", true},
        {"TZ=../../tmp/zone", false},
        {"LANG=de_DE.UTF-8", true},
        {"LC_ALL=C", true},
        {"LC_MESSAGES=/tmp/evil", false},
        {"LC_=x", false},
        {"QT_QPA_PLATFORM=xcb", true},
        {"QT_QPA_PLATFORM=offscreen", true},
        {"QT_QPA_PLATFORM=xcb:displayfile", false},
        {"QT_QPA_PLATFORM=vnc", false},
        {"QT_PLUGIN_PATH=/tmp/p", false},
        {"QT_QPA_PLATFORMTHEME=gtk3", false},
        {"QT_QPA_GENERIC_PLUGINS=evdevmouse", false},
        {"GTK_PATH=/tmp/g", false},
        {"GIO_EXTRA_MODULES=/tmp/g", false},
        {"LD_PRELOAD=/tmp/x.so", false},
        {"PATH=/tmp", false},
        {"display=:0", false},
        {"DISPLAY", false},
        {"=:0", false},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> kept = SecureEnvironment({c.entry});
        EXPECT_EQ(kept.size(), c.kept ? 1u : 0u) << c.entry;
    }
    // The first of a name is the one the C library would have read: a later one never stands in
    // for it, even when the first goes.
    EXPECT_EQ(SecureEnvironment({"HOME=/a", "TZ=..", "HOME=/b", "TZ=UTC", "DISPLAY=:1"}),
              (std::vector<std::string>{"HOME=/a", "DISPLAY=:1"}));
}

TEST(Startup, OnlyRootMayWriteWalksUpToTheRoot) {
    const std::string mine = Temp("dir");
    ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
    struct Case {
        std::string dir;
        bool safe;
    };
    const Case cases[] = {
        {"/", true},
        {"/usr/bin", true},
        {"usr/bin", false},  // relative: whatever the current directory is
        {"/nonexistent-discflash", false},
        {"/tmp", false},  // everyone may write there
        {mine, false},    // a test's own (and under /tmp even when the test runs as root)
    };
    for (const Case& c : cases) EXPECT_EQ(OnlyRootMayWrite(c.dir), c.safe) << c.dir;
    rmdir(mine.c_str());
}

#ifdef DISCFLASH_HOSTILE_DIR
// Without a display the window says so and points to --batch, instead of aborting.
TEST(Startup, NoDisplayEndsWithStatusTwo) {
    const std::vector<std::string> cases[] = {
        {},
        {"DISPLAY=:4711"},
        {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=discflash-none"},
    };
    for (const std::vector<std::string>& env : cases) {
        SCOPED_TRACE(env.empty() ? "" : env[0]);
        Start s;
        s.name = "LD4740";
        s.args = {"--emulate=LD4740"};
        s.env = &env;
        const Ended e = Started(s);
        EXPECT_EQ(e.status, 2) << e.err;
        EXPECT_TRUE(Has(e.err, "LD4740: cannot open the window: ")) << e.err;
        EXPECT_TRUE(Has(e.err, "--batch")) << e.err;
    }
}

// With raised rights the window loads no plugin the environment names: the plain program does
// (which shows that the plugins would be found), the program in secure mode does not.
TEST(Startup, SecureModeLoadsNoPluginTheEnvironmentNames) {
    const std::string dir = DISCFLASH_HOSTILE_DIR;
    const std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen",
        "QT_PLUGIN_PATH=" + dir,
        "QT_QPA_PLATFORM_PLUGIN_PATH=" + dir + "/platformthemes",
        "QT_QPA_PLATFORMTHEME=hostile",
        "QT_QPA_GENERIC_PLUGINS=hostile",
    };
    for (const char* binary : {"discflash", "discflash-secure"}) {
        SCOPED_TRACE(binary);
        Start s;
        s.binary = binary;
        s.name = "LD4740";
        // The note of the ignored --device comes from the scan, after Qt has started.
        s.args = {"--emulate=LD4740", "--device=emu:sr1", "--device=emu:sr0"};
        s.env = &env;
        s.stopAfter = "--device=emu:sr1 is ignored";
        const Ended e = Started(s);
        EXPECT_EQ(e.status, 128 + SIGTERM) << e.err;
        EXPECT_EQ(Has(e.err, "hostile plugin loaded"), s.binary == "discflash") << e.err;
    }
}
#endif
