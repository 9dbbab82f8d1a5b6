// The host ports on Linux: the restart through (fake) logind, and the host settings over a
// sysfs and /etc tree built in a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_env.h"
#include "system/linux_host.h"
#include "system/linux_host_settings.h"

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
