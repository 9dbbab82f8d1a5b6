// The host ports on Linux: the restart through (fake) logind, and the host settings over a
// sysfs and /etc tree built in a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fake_host.h"
#include "support/test_env.h"
#include "system/linux_host.h"
#include "system/linux_host_settings.h"

namespace fs = std::filesystem;

namespace {

// ---- restart ------------------------------------------------------------------------------------

// The caller's wait for logind's answer: the UI is pumped and the clock slept on meanwhile.
TEST(LinuxHost, RestartsOnlyWhenLogindAllowsAndAccepts) {
    struct Row {
        bool canCall;
        const char* answer;
        bool accept;
        bool interactive;
        uint64_t answerAtMs;  // the person behind polkit takes this long
        int result;
        size_t reboots;
    };
    const Row rows[] = {
        {false, "", true, true, 0, 0, 0},               // no logind on the bus
        {true, "no", true, true, 0, 0, 0},              // not allowed: nothing is requested
        {true, "na", true, true, 0, 0, 0},              // not supported
        {true, "yes", false, false, 0, 0, 1},           // requested, refused
        {true, "yes", true, false, 0, 1, 1},            // requested, accepted (batch)
        {true, "challenge", true, true, 90000, 1, 1},   // polkit asks the user first
        {true, "challenge", false, true, 90000, 0, 1},  // ... who cancels
        {true, "challenge", false, false, 0, 0, 1},     // ... and no one can be asked
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.answer) + (r.accept ? " accepted" : " refused"));
        TestEnv env;
        LogindScript script{r.canCall, r.answer, r.accept, r.answerAtMs, &env.clock, {}};
        LinuxHost host(r.interactive, std::make_unique<ScriptedLogind>(script));
        rt().host = &host;
        EXPECT_EQ(RestartSystem(), r.result);
        ASSERT_EQ(script.reboots.size(), r.reboots);
        if (r.reboots) {
            EXPECT_EQ(script.reboots[0], r.interactive);
        }
        EXPECT_GE(env.ui.pumps, static_cast<int>(r.answerAtMs / 50));
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

TEST(LinuxHostSettings, SwitchesPollingOffOrSaysWhyNot) {
    HostTree t;
    t.Write("sys/block/sr0/events_poll_msecs", "2000\n");
    LinuxHostSettings s(t.Root(), nullptr);
    std::string why;
    ASSERT_TRUE(s.SetPollInterval("sr0", 0, why)) << why;
    EXPECT_EQ(t.Read("sys/block/sr0/events_poll_msecs"), "0\n");

    EXPECT_FALSE(s.SetPollInterval("sr1", 0, why));
    EXPECT_EQ(why, "cannot write " + t.Root() +
                       "/sys/block/sr1/events_poll_msecs: No such file or directory");
}

TEST(LinuxHostSettings, RuleFileKeepsEveryRuleOnceAndReloadsUdevOnChange) {
    HostTree t;
    int reloads = 0;
    LinuxHostSettings s(t.Root(), [&] { ++reloads; });
    const std::string file = std::string(kNoMediaPollRulesPath).substr(1);
    std::string why;

    ASSERT_TRUE(s.AddUdevRule("RULE A", why)) << why;  // the directory is made as needed
    std::string first = t.Read(file);
    EXPECT_EQ(first.rfind("# Written by discflash", 0), 0u) << first;
    EXPECT_EQ(first.substr(first.size() - 7), "RULE A\n");
    EXPECT_EQ(reloads, 1);

    // A line of the user's own without its newline, then a second rule: both kept.
    t.Write(file, first + "# mine");
    ASSERT_TRUE(s.AddUdevRule("RULE B", why)) << why;
    EXPECT_EQ(t.Read(file), first + "# mine\nRULE B\n");
    EXPECT_EQ(reloads, 2);

    // Already there: the file is left as it is.
    ASSERT_TRUE(s.AddUdevRule("RULE A", why)) << why;
    EXPECT_EQ(t.Read(file), first + "# mine\nRULE B\n");
    EXPECT_EQ(reloads, 2);
    EXPECT_FALSE(fs::exists(t.Path(file + ".tmp")));
}

TEST(LinuxHostSettings, RuleThatCannotBeStoredSaysWhy) {
    const std::string file = std::string(kNoMediaPollRulesPath).substr(1);
    struct Row {
        const char* blocker;  // a plain file where a directory must be
        const char* why;
    };
    const Row rows[] = {
        {"etc/udev", "cannot read {}: Not a directory"},
        {"etc/udev/rules.d/60-discflash-no-media-poll.rules.tmp/x",
         "cannot write {}: Is a directory"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.blocker);
        HostTree t;
        t.Write(r.blocker, "");
        LinuxHostSettings s(t.Root(), [] { FAIL() << "nothing changed: no reload"; });
        std::string why, expected = r.why;
        expected.replace(expected.find("{}"), 2, t.Root() + kNoMediaPollRulesPath);
        EXPECT_FALSE(s.AddUdevRule("RULE A", why));
        EXPECT_EQ(why, expected);
        EXPECT_FALSE(fs::is_regular_file(t.Path(file)));
    }
}

}  // namespace
