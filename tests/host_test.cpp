// The host ports on Linux: the restart through (fake) logind, and the host settings over a
// sysfs and /etc tree built in a temporary directory, made by the process itself or through
// pkexec and the helper (a fake spawner here; the helper binary built with its tree in the build
// directory).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "system/linux_host.h"
#include "system/linux_host_settings.h"
#include "system/udev_rule.h"

namespace fs = std::filesystem;

namespace {

// ---- restart ------------------------------------------------------------------------------------

struct LogindScript {
    bool canCall = true;
    std::string answer = "yes";
    bool accept = true;
    std::vector<bool> reboots;  // the interactive flag of each Reboot call
};

class FakeLogind : public LogindCalls {
  public:
    explicit FakeLogind(LogindScript& s) : s_(s) {}
    bool CanReboot(std::string& answer) override {
        if (s_.canCall) answer = s_.answer;
        return s_.canCall;
    }
    bool Reboot(bool interactive) override {
        s_.reboots.push_back(interactive);
        return s_.accept;
    }

  private:
    LogindScript& s_;
};

TEST(LinuxHost, RestartsOnlyWhenLogindAllowsAndAccepts) {
    struct Row {
        bool canCall;
        const char* answer;
        bool accept;
        bool interactive;
        int result;
        size_t reboots;
    };
    const Row rows[] = {
        {false, "", true, true, 0, 0},            // no logind on the bus
        {true, "no", true, true, 0, 0},           // not allowed: nothing is requested
        {true, "na", true, true, 0, 0},           // not supported
        {true, "yes", false, false, 0, 1},        // requested, refused
        {true, "yes", true, false, 1, 1},         // requested, accepted (batch)
        {true, "challenge", true, true, 1, 1},    // polkit asks the user first
        {true, "challenge", false, false, 0, 1},  // ... and no one can be asked
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.answer) + (r.accept ? " accepted" : " refused"));
        LogindScript script{r.canCall, r.answer, r.accept, {}};
        LinuxHost host(r.interactive, std::make_unique<FakeLogind>(script));
        EXPECT_EQ(host.RestartSystem(), r.result);
        ASSERT_EQ(script.reboots.size(), r.reboots);
        if (r.reboots) {
            EXPECT_EQ(script.reboots[0], r.interactive);
        }
    }
}

// ---- host settings ------------------------------------------------------------------------------

class HostTree {
  public:
    HostTree() {
        root_ = fs::temp_directory_path() /
                ("discflash-host-" + std::to_string(::getpid()) + "-" + std::to_string(seq_++));
        fs::create_directories(root_);
    }
    ~HostTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::string Root() const { return root_.string(); }
    fs::path Path(const std::string& rel) const { return root_ / rel; }
    void Write(const std::string& rel, const std::string& text) const {
        fs::create_directories(Path(rel).parent_path());
        std::ofstream(Path(rel)) << text;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(Path(rel));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    fs::path root_;
    static inline int seq_ = 0;
};

TEST(LinuxHostSettings, FindsTheBlockDeviceAndReadsItsPolling) {
    HostTree t;
    fs::create_directories(t.Path("sys/bus/scsi/devices/1:0:2:0/block/sr3"));
    fs::create_directories(t.Path("sys/bus/scsi/devices/1:0:3:0"));
    t.Write("sys/block/sr3/events_poll_msecs", "2000\n");
    t.Write("sys/block/sr4/events_poll_msecs", "-1\n");
    t.Write("sys/block/sr6/events_poll_msecs", "20x\n");
    t.Write("sys/module/block/parameters/events_dfl_poll_msecs", "0\n");
    LinuxHostSettings s(t.Root(), nullptr);

    EXPECT_EQ(s.BlockDevice(1, 0, 2, 0), "sr3");
    EXPECT_EQ(s.BlockDevice(1, 0, 3, 0), "");  // no block device
    EXPECT_EQ(s.BlockDevice(1, 0, 4, 0), "");  // no such device

    struct Row {
        const char* block;
        bool readable;
        long ms;
    };
    const Row rows[] = {
        {"sr3", true, 2000}, {"sr4", true, -1}, {"sr5", false, 0},
        {"sr6", false, 0},   {"sr7", false, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.block);
        long ms = 0;
        EXPECT_EQ(s.PollInterval(r.block, ms), r.readable);
        if (r.readable) {
            EXPECT_EQ(ms, r.ms);
        }
    }
    long dfl = 7;
    ASSERT_TRUE(s.DefaultPollInterval(dfl));
    EXPECT_EQ(dfl, 0);
}

const SysfsModel kModelA{"HALVERON", "CD-RW  KR-3520  "};
const SysfsModel kModelB{"HALVERON", "DVD-ROM VD-5871 "};
const std::string kRules = std::string(kNoMediaPollRulesPath).substr(1);

TEST(LinuxHostSettings, SwitchOffKeepsEveryRuleOnceRestoreRemovesThemUdevReloadsOnChange) {
    HostTree t;
    t.Write("sys/block/sr0/events_poll_msecs", "2000\n");
    t.Write("sys/block/sr1/events_poll_msecs", "-1\n");
    int reloads = 0;
    LinuxHostSettings s(t.Root(), [&] { ++reloads; });
    std::string why;

    // The directory is made as needed.
    ASSERT_TRUE(s.SwitchPollingOff({"sr0", "sr1"}, {kModelA, kModelA}, why)) << why;
    EXPECT_EQ(t.Read("sys/block/sr0/events_poll_msecs"), "0\n");
    EXPECT_EQ(t.Read("sys/block/sr1/events_poll_msecs"), "0\n");
    std::string first = t.Read(kRules);
    EXPECT_EQ(first.rfind("# Written by discflash", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.find("\nSUBSYSTEM") + 1), NoMediaPollRule(kModelA) + "\n");
    EXPECT_EQ(reloads, 1);

    // A line of the user's own without its newline, then a second model: both kept.
    t.Write(kRules, first + "# mine");
    ASSERT_TRUE(s.SwitchPollingOff({}, {kModelA, kModelB}, why)) << why;
    EXPECT_EQ(t.Read(kRules), first + "# mine\n" + NoMediaPollRule(kModelB) + "\n");
    EXPECT_EQ(reloads, 2);

    // Already there: the file is left as it is.
    ASSERT_TRUE(s.SwitchPollingOff({"sr0"}, {kModelB}, why)) << why;
    EXPECT_EQ(reloads, 2);
    EXPECT_FALSE(fs::exists(t.Path(kRules + ".tmp")));

    ASSERT_TRUE(s.RestorePolling({"sr0"}, why)) << why;
    EXPECT_FALSE(fs::exists(t.Path(kRules)));
    EXPECT_EQ(t.Read("sys/block/sr0/events_poll_msecs"), "-1\n");
    EXPECT_EQ(t.Read("sys/block/sr1/events_poll_msecs"), "0\n");
    EXPECT_EQ(reloads, 3);
    ASSERT_TRUE(s.RestorePolling({}, why)) << why;  // nothing left to remove
    EXPECT_EQ(reloads, 3);
}

TEST(LinuxHostSettings, ChangeThatCannotBeMadeSaysWhy) {
    struct Row {
        const char* blocker;  // a plain file where a directory must be, or a directory
        bool off;
        std::vector<std::string> blocks;
        std::string why;  // {} is the root
        bool reload;
        const char* sr0;  // its events_poll_msecs afterwards
    };
    const Row rows[] = {
        {"",
         true,
         {"sr0", "sr1"},
         "cannot write {}/sys/block/sr1/events_poll_msecs: No such file or directory",
         false,
         "0\n"},
        {"etc/udev", true, {"sr0"}, "cannot read {}/" + kRules + ": Not a directory", false, "0\n"},
        {"etc/udev/rules.d/60-discflash-no-media-poll.rules.tmp/x",
         true,
         {},
         "cannot write {}/" + kRules + ": Is a directory",
         false,
         "2000\n"},
        {"etc/udev/rules.d/60-discflash-no-media-poll.rules/x",
         false,
         {"sr0"},
         "cannot remove {}/" + kRules + ": Is a directory",
         false,
         "2000\n"},
        // The rule went; every drive was tried, the first failure is told.
        {"etc/udev/rules.d/60-discflash-no-media-poll.rules",
         false,
         {"sr1", "sr0", "sr2"},
         "cannot write {}/sys/block/sr1/events_poll_msecs: No such file or directory",
         true,
         "-1\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        HostTree t;
        t.Write("sys/block/sr0/events_poll_msecs", "2000\n");
        if (*r.blocker) t.Write(r.blocker, "");
        bool reloaded = false;
        LinuxHostSettings s(t.Root(), [&] { reloaded = true; });
        std::string why, expected = r.why;
        expected.replace(expected.find("{}"), 2, t.Root());
        EXPECT_FALSE(r.off ? s.SwitchPollingOff(r.blocks, {kModelA}, why)
                           : s.RestorePolling(r.blocks, why));
        EXPECT_EQ(why, expected);
        EXPECT_EQ(reloaded, r.reload);
        EXPECT_EQ(t.Read("sys/block/sr0/events_poll_msecs"), r.sr0);
    }
}

// A user who is not root: pkexec runs the helper, and whatever goes wrong is told in the user's
// terms; the files are never touched by the process itself.
TEST(LinuxHostSettings, ChangesOfAUserGoThroughPkexecAndTheHelper) {
    struct Row {
        bool installed;
        ProgramEnd end;
        bool ok;
        const char* why;  // {} is the helper's path
    };
    const Row rows[] = {
        {false,
         {},
         false,
         "helper not installed: {}; install the discflash package, or run the "
         "program as root"},
        {true, {0, 0, ""}, true, ""},
        {true,
         {ENOENT, -1, ""},
         false,
         "/usr/bin/pkexec is missing (Debian package pkexec): install it, or run the program as "
         "root"},
        {true, {0, 126, ""}, false, "the authentication was dismissed"},
        {true,
         {0, 127, "Error executing command as another user: Not authorized\n"},
         false,
         "polkit did not authorise the change (Error executing command as another user: Not "
         "authorized)"},
        {true,
         {0, 1, "media-polling: cannot write /sys/block/sr0/events_poll_msecs: EIO\n"},
         false,
         "media-polling: cannot write /sys/block/sr0/events_poll_msecs: EIO"},
        {true, {0, -1, ""}, false, "pkexec or the helper was ended by a signal"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        HostTree t;
        t.Write("sys/block/sr0/events_poll_msecs", "2000\n");
        const std::string helper = t.Root() + "/helper";
        if (r.installed) t.Write("helper", "");
        std::vector<std::vector<std::string>> runs;
        LinuxHostSettings s(
            t.Root(), [] { FAIL() << "the helper reloads udev"; },
            [&](const std::vector<std::string>& argv) {
                runs.push_back(argv);
                return r.end;
            },
            helper);
        std::string why, expected = r.why;
        if (expected.find("{}") != std::string::npos)
            expected.replace(expected.find("{}"), 2, helper);
        EXPECT_EQ(s.SwitchPollingOff({"sr0"}, {kModelA}, why), r.ok);
        EXPECT_EQ(why, expected);
        EXPECT_EQ(s.RestorePolling({"sr0"}, why), r.ok);
        EXPECT_EQ(t.Read("sys/block/sr0/events_poll_msecs"), "2000\n");
        if (!r.installed) {
            EXPECT_TRUE(runs.empty());
            continue;
        }
        using Args = std::vector<std::string>;
        EXPECT_EQ(runs, (std::vector<Args>{{kPkexecPath, helper, "off", "--block", "sr0", "--model",
                                            kModelA.vendor, kModelA.model},
                                           {kPkexecPath, helper, "restore", "--block", "sr0"}}));
    }
}

// ---- running another program -------------------------------------------------------------------

TEST(SpawnAndWait, RunsWithNothingOfTheCallersButItsArguments) {
    // What the caller leaves it: an environment, a descriptor without close-on-exec, SIGTERM
    // ignored.
    ::setenv("DISCFLASH_SECRET", "x", 1);
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    auto previous = std::signal(SIGTERM, SIG_IGN);
    const std::string fd = "/proc/self/fd/" + std::to_string(leaked);
    struct Row {
        std::vector<std::string> argv;
        int err;
        int status;
        std::string output;
    };
    const Row rows[] = {
        {{"/usr/bin/env"}, 0, 0, ""},
        {{"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 0, 3, "out\nerr\n"},
        {{"/bin/sh", "-c", "test -e " + fd + " && echo leaked; read x && echo stdin"}, 0, 1, ""},
        {{"/bin/sh", "-c", "kill -TERM $$; echo alive"}, 0, -1, ""},
        {{"/bin/sh", "-c", "head -c 5000 /dev/zero"}, 0, 0, std::string(4096, '\0')},
        {{"/nonexistent/program"}, ENOENT, -1, ""},
        {{"sh", "-c", "exit 0"}, EINVAL, -1, ""},  // no search of PATH
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.argv.back());
        ProgramEnd end = SpawnAndWait(r.argv, nullptr);
        EXPECT_EQ(end.err, r.err);
        EXPECT_EQ(end.status, r.status);
        EXPECT_EQ(end.output, r.output);
    }
    std::signal(SIGTERM, previous);
    ::close(leaked);
    ::unsetenv("DISCFLASH_SECRET");
}

// The wait pumps while the program runs, and ends only with it: this one waits for the pump.
TEST(SpawnAndWait, KeepsCallingTheWaiterUntilTheProgramEnds) {
    HostTree t;
    const std::string fifo = t.Root() + "/go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int pumps = 0;
    ProgramEnd end = SpawnAndWait({"/bin/sh", "-c", "read x <" + fifo + "; echo $x"}, [&] {
        ++pumps;
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // once the program reads it
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, "go\n", 3), 3);
            ::close(fd);
        }
    });
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "go\n");
    EXPECT_GE(pumps, 1);
}

// ---- the helper ---------------------------------------------------------------------------------

// Every regular file under the tree with its content.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path());
        std::stringstream s;
        s << in.rdbuf();
        files[e.path().string()] = s.str();
    }
    return files;
}

// The helper as the tests build it, its tree in the build directory: run as pkexec would, but
// with an environment that would mislead it if it listened.
int RunHelper(const std::vector<std::string>& args, const std::string& decoys) {
    std::vector<std::string> all = {DISCFLASH_TEST_HELPER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string path = "PATH=" + decoys;
    char* env[] = {path.data(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) return -1;
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PollingHelper, RefusesMalformedArgumentsBeforeTouchingAnythingThenChangesItsOwnTree) {
    const fs::path root = DISCFLASH_TEST_HELPER_ROOT;
    fs::remove_all(root);
    auto write = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    };
    auto read = [&](const std::string& rel) {
        std::ifstream in(root / rel);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    write("sys/block/sr0/events_poll_msecs", "2000\n");
    // udevadm where the helper must look for it, and a decoy where PATH would lead it.
    const char* udevadm = "#!/bin/sh\necho \"$*\" >>\"${0%/*/*}/reloads\"\n";
    write("bin/udevadm", udevadm);
    write("decoy/udevadm", "#!/bin/sh\necho decoy >>\"${0%/*/*}/reloads\"\n");
    for (const char* f : {"bin/udevadm", "decoy/udevadm"})
        fs::permissions(root / f, fs::perms::owner_all);
    const std::string decoys = (root / "decoy").string();

    const std::string v = kModelA.vendor, m = kModelA.model;
    std::vector<std::string> tooMany = {"off"};
    for (int i = 0; i < 33; ++i) tooMany.insert(tooMany.end(), {"--block", "sr0"});
    const std::vector<std::string> refused[] = {
        {},
        {"on", "--block", "sr0"},
        {"off"},
        {"off", "--block"},
        {"off", "--block", "sda"},
        {"off", "--block", "sr"},
        {"off", "--block", "sr1234"},
        {"off", "--block", "sr0/../../../etc"},
        {"off", "--block", "sr0", "--model", v},
        {"off", "--model", "HALVERO", m},
        {"off", "--model", v, "CD-RW\tKR-3520  "},
        {"off", "--model", v, "CD-RW  KR-3520\xC3\xA9"},
        {"restore", "--block", "sr0", "--model", v, m},
        {"off", "--block", "sr0", "--root", "/tmp"},
        {"off", "--block", "sr0", "sr1"},
        tooMany,
    };
    const auto before = Snapshot(root);
    for (const auto& args : refused) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.back());
        EXPECT_EQ(RunHelper(args, decoys), kHelperRefused);
        EXPECT_EQ(Snapshot(root), before);
    }

    EXPECT_EQ(RunHelper({"off", "--block", "sr0", "--model", v, m}, decoys), kHelperDone);
    EXPECT_EQ(read("sys/block/sr0/events_poll_msecs"), "0\n");
    EXPECT_NE(read(kRules).find("\n" + NoMediaPollRule(kModelA) + "\n"), std::string::npos);
    EXPECT_EQ(RunHelper({"off", "--block", "sr7"}, decoys), kHelperStepFailed);
    EXPECT_EQ(RunHelper({"restore", "--block", "sr0"}, decoys), kHelperDone);
    EXPECT_FALSE(fs::exists(root / kRules));
    EXPECT_EQ(read("sys/block/sr0/events_poll_msecs"), "-1\n");
    EXPECT_EQ(read("reloads"), "control --reload\ncontrol --reload\n");
    fs::remove_all(root);
}

}  // namespace
