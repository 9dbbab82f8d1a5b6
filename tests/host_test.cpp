// The host ports on Linux: the restart through (fake) logind, and the host settings over a
// sysfs and /etc tree built in a temporary directory, made by the process itself or through
// pkexec and the helper (a fake spawner here; the helper binary built with its tree in the build
// directory).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_env.h"
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
    std::vector<bool> reboots;   // the interactive flag of each Reboot call
    ClockPort* clock = nullptr;  // Reboot answers once it reads 90 s: a person behind polkit
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
        while (s_.clock->ElapsedMs() < 90000) std::this_thread::yield();
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
        TestEnv env;
        LogindScript script{r.canCall, r.answer, r.accept, {}, &env.clock};
        LinuxHost host(r.interactive, std::make_unique<FakeLogind>(script));
        rt().host = &host;
        EXPECT_EQ(RestartSystem(), r.result);  // the UI pumped while logind answers
        EXPECT_GE(env.ui.pumps, r.reboots ? 90000 / 50 : 0);
        ASSERT_EQ(script.reboots.size(), r.reboots);
        if (r.reboots) {
            EXPECT_EQ(script.reboots[0], r.interactive);
        }
    }
}

// ---- host settings ------------------------------------------------------------------------------

class HostTree {
  public:
    // A fresh tree at `root`, by default a new temporary directory.
    explicit HostTree(fs::path root = fs::temp_directory_path() /
                                      ("discflash-host-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(seq_++)))
        : root_(std::move(root)) {
        fs::remove_all(root_);
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
const std::string kSr0 = "sys/block/sr0/events_poll_msecs";

TEST(LinuxHostSettings, SwitchOffKeepsEveryRuleOnceRestoreRemovesThemUdevReloadsOnChange) {
    HostTree t;
    t.Write(kSr0, "2000\n");
    int reloads = 0;
    LinuxHostSettings s(t.Root(), [&] { ++reloads; });
    std::string why;

    ASSERT_TRUE(s.SwitchPollingOff({"sr0"}, {kModelA, kModelA}, why)) << why;
    EXPECT_EQ(t.Read(kSr0), "0\n");
    std::string first = t.Read(kRules);  // the directory is made as needed
    EXPECT_EQ(first.rfind("# Written by discflash", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.find("\nSUBSYSTEM") + 1), NoMediaPollRule(kModelA) + "\n");
    // A line of the user's own without its newline, then a second model: both kept.
    t.Write(kRules, first + "# mine");
    ASSERT_TRUE(s.SwitchPollingOff({}, {kModelA, kModelB}, why)) << why;
    EXPECT_EQ(t.Read(kRules), first + "# mine\n" + NoMediaPollRule(kModelB) + "\n");
    ASSERT_TRUE(s.SwitchPollingOff({}, {kModelB}, why)) << why;  // already there: no reload
    EXPECT_EQ(reloads, 2);

    ASSERT_TRUE(s.RestorePolling({"sr0"}, why)) << why;
    EXPECT_FALSE(fs::exists(t.Path(kRules)));
    EXPECT_EQ(t.Read(kSr0), "-1\n");
    ASSERT_TRUE(s.RestorePolling({}, why)) << why;  // nothing left to remove: no reload
    EXPECT_EQ(reloads, 3);
}

TEST(LinuxHostSettings, ChangeThatCannotBeMadeSaysWhy) {
    struct Row {
        std::string blocker;  // a plain file where a directory must be, or a directory
        bool off;
        std::string why;  // after the root
        bool reload;
        const char* sr0;  // its events_poll_msecs afterwards
    };
    const Row rows[] = {
        // Rewriting a rule file that cannot be read would drop the rules in it.
        {"etc/udev", true, "/" + kRules + ": Not a directory", false, "0\n"},
        {kRules + ".tmp/x", true, "/" + kRules + ": Is a directory", false, "0\n"},
        {kRules + "/x", false, "/" + kRules + ": Is a directory", false, "2000\n"},
        // The rule went; every drive was tried, the first failure is told.
        {kRules, false, "/sys/block/sr1/events_poll_msecs: No such file or directory", true,
         "-1\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.blocker);
        HostTree t;
        t.Write(kSr0, "2000\n");
        t.Write(r.blocker, "");
        bool reloaded = false;
        LinuxHostSettings s(t.Root(), [&] { reloaded = true; });
        std::string why;
        EXPECT_FALSE(r.off ? s.SwitchPollingOff({"sr0"}, {kModelA}, why)
                           : s.RestorePolling({"sr1", "sr0"}, why));
        EXPECT_EQ(why.substr(why.find(' ', 7) + 1), t.Root() + r.why);
        EXPECT_EQ(reloaded, r.reload);
        EXPECT_EQ(t.Read(kSr0), r.sr0);
    }
}

// A user who is not root: pkexec runs the helper, and whatever goes wrong is told in the user's
// terms; the process itself touches no file.
TEST(LinuxHostSettings, ChangesOfAUserGoThroughPkexecAndTheHelper) {
    struct Row {
        bool installed;
        ProgramEnd end;
        const char* why;  // "" when done
    };
    const Row rows[] = {
        {false, {}, "helper not installed: "},
        {true, {0, 0, ""}, ""},
        {true, {0, 126, ""}, "the authentication was dismissed"},
        {true,
         {0, 127, "Error executing command as another user: Not authorized\n"},
         "polkit did not authorise the change (Error executing command as another user: Not "
         "authorized)"},
        {true,
         {0, 1, "media-polling: cannot write /sys/block/sr0/events_poll_msecs: EIO\n"},
         "media-polling: cannot write /sys/block/sr0/events_poll_msecs: EIO"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        HostTree t;
        t.Write(kSr0, "2000\n");
        const std::string helper = t.Root() + "/helper";
        if (r.installed) t.Write("helper", "");
        std::vector<std::vector<std::string>> runs;
        auto spawn = [&](const std::vector<std::string>& argv) {
            runs.push_back(argv);
            return r.end;
        };
        LinuxHostSettings s(
            t.Root(), [] { FAIL() << "the helper reloads udev"; }, spawn, helper);
        std::string why;
        EXPECT_EQ(s.SwitchPollingOff({"sr0"}, {kModelA}, why), !*r.why);
        EXPECT_EQ(why.rfind(r.why, 0), 0u) << why;
        EXPECT_EQ(s.RestorePolling({"sr0"}, why), !*r.why);
        EXPECT_EQ(t.Read(kSr0), "2000\n");
        using Runs = std::vector<std::vector<std::string>>;
        const Runs asked = {{kPkexecPath, helper, "off", "--block", "sr0", "--model",
                             kModelA.vendor, kModelA.model},
                            {kPkexecPath, helper, "restore", "--block", "sr0"}};
        EXPECT_EQ(runs, r.installed ? asked : Runs{});
    }
}

// ---- running another program -------------------------------------------------------------------

TEST(SpawnAndWait, RunsWithNothingOfTheCallersButItsArguments) {
    // What the caller leaves it: an environment, a descriptor without close-on-exec, SIGTERM
    // ignored.
    ::setenv("DISCFLASH_SECRET", "x", 1);
    int leaked = ::open("/dev/null", O_RDONLY);
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
    ProgramEnd end = SpawnAndWait({"/bin/sh", "-c", "read x <" + fifo + "; echo $x"}, [&] {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // once the program reads it
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, "go\n", 3), 3);
            ::close(fd);
        }
    });
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "go\n");
}

// ---- the helper ---------------------------------------------------------------------------------

// The helper as the tests build it, with its tree in the build directory: arguments checked
// whole before anything is touched, and a PATH that would lead it astray if it listened.
TEST(PollingHelper, RefusesMalformedArgumentsBeforeTouchingAnythingThenChangesItsOwnTree) {
    HostTree t(DISCFLASH_TEST_HELPER_ROOT);
    const std::string root = t.Root();
    t.Write(kSr0, "2000\n");
    t.Write("bin/udevadm", "#!/bin/sh\necho \"$*\" >>\"${0%/*/*}/reloads\"\n");
    t.Write("decoy/udevadm", "#!/bin/sh\necho decoy >>\"${0%/*/*}/reloads\"\n");
    for (const char* f : {"bin/udevadm", "decoy/udevadm"})
        fs::permissions(t.Path(f), fs::perms::owner_all);
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"/usr/bin/env", "PATH=" + root + "/decoy", DISCFLASH_TEST_HELPER});
        return SpawnAndWait(args, nullptr).status;
    };

    const std::string v = kModelA.vendor, m = kModelA.model;
    std::vector<std::string> tooMany = {"off"};
    for (int i = 0; i < 33; ++i) tooMany.insert(tooMany.end(), {"--block", "sr0"});
    const std::vector<std::string> refused[] = {
        {},
        {"on", "--block", "sr0"},
        {"off"},
        {"off", "--block", "sda"},
        {"off", "--block", "sr1234"},
        {"off", "--block", "sr0/../../../etc"},
        {"off", "--block", "sr0", "--model", v},
        {"off", "--model", "HALVERO", m},
        {"off", "--model", v, "CD-RW\tKR-3520  "},
        {"off", "--model", v, "CD-RW  KR-3520\xC3\xA9"},
        {"restore", "--block", "sr0", "--model", v, m},
        {"off", "--block", "sr0", "--root", "/tmp"},
        tooMany,
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.back());
        EXPECT_EQ(run(args), kHelperRefused);
        EXPECT_EQ(t.Read(kSr0), "2000\n");
        EXPECT_FALSE(fs::exists(t.Path("reloads")) || fs::exists(t.Path(kRules)));
    }

    EXPECT_EQ(run({"off", "--block", "sr0", "--model", v, m}), kHelperDone);
    EXPECT_EQ(t.Read(kSr0), "0\n");
    EXPECT_NE(t.Read(kRules).find("\n" + NoMediaPollRule(kModelA) + "\n"), std::string::npos);
    EXPECT_EQ(run({"off", "--block", "sr7"}), kHelperStepFailed);
    EXPECT_EQ(run({"restore", "--block", "sr0"}), kHelperDone);
    EXPECT_FALSE(fs::exists(t.Path(kRules)));
    EXPECT_EQ(t.Read(kSr0), "-1\n");
    EXPECT_EQ(t.Read("reloads"), "control --reload\ncontrol --reload\n");
}

}  // namespace
