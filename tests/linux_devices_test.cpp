// The kernel device port over a sysfs and /dev tree built in a temporary directory, and the
// priority port's decision and effect on a test thread.
#include "system/linux_devices.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "system/linux_priority.h"

namespace fs = std::filesystem;

namespace {

class FakeTree {
  public:
    FakeTree() {
        root_ = fs::temp_directory_path() /
                ("discflash-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(seq_++));
        fs::create_directories(Sys() + "/class/block");
        fs::create_directories(Dev());
    }
    ~FakeTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::string Sys() const { return (root_ / "sys").string(); }
    std::string Dev() const { return (root_ / "dev").string(); }
    std::string Root() const { return root_.string(); }

    static void Write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    // A SCSI device directory and a class entry linking to it; a plain file for the node.
    void Add(const std::string& cls, const std::string& name, const std::string& hctl, int type,
             const std::string& dev) {
        fs::path device = fs::path(Sys()) / "devices/pci0000:00/host0/target" / hctl;
        Write(device / "type", std::to_string(type));
        fs::path entry = fs::path(Sys()) / "class" / cls / name;
        fs::create_directories(entry);
        fs::create_symlink(device, entry / "device");
        Write(entry / "dev", dev);
        Write(fs::path(Dev()) / name, "");
    }

  private:
    fs::path root_;
    static inline int seq_ = 0;
};

TEST(LinuxDevicePort, ListsNodesInNumericOrderWithTheirAddresses) {
    FakeTree t;
    t.Add("block", "sr10", "1:0:4:0", 5, "11:10");
    t.Add("block", "sr2", "0:0:1:0", 5, "11:2");
    t.Add("block", "sr0", "0:0:0:0", 5, "11:0");
    fs::create_directories(t.Sys() + "/class/block/sda");  // not a CD/DVD node
    fs::create_directories(t.Sys() + "/class/block/srx");
    t.Add("scsi_generic", "sg1", "0:0:1:0", 5, "21:1");
    t.Add("scsi_generic", "sg0", "0:0:0:0", 0, "21:0");
    t.Add("scsi_generic", "sg12", "3:1:6:254", 5, "21:12");

    LinuxDevicePort port(t.Sys(), t.Dev());
    auto block = port.ListNodes(NodeClass::Block);
    ASSERT_EQ(block.size(), 3u);
    EXPECT_EQ(block[0].path, t.Dev() + "/sr0");
    EXPECT_EQ(block[1].path, t.Dev() + "/sr2");
    EXPECT_EQ(block[2].path, t.Dev() + "/sr10");
    EXPECT_EQ(block[2].index, 10);
    EXPECT_EQ(block[2].host, 1);
    EXPECT_EQ(block[2].target, 4);

    auto generic = port.ListNodes(NodeClass::Generic);
    ASSERT_EQ(generic.size(), 3u);
    EXPECT_EQ(generic[0].type, 0);
    EXPECT_EQ(generic[2].path, t.Dev() + "/sg12");
    EXPECT_EQ(generic[2].host, 3);
    EXPECT_EQ(generic[2].channel, 1);
    EXPECT_EQ(generic[2].target, 6);
    EXPECT_EQ(generic[2].lun, 254);
    EXPECT_EQ(generic[2].type, 5);
    EXPECT_TRUE(port.GenericDriverPresent());
}

TEST(LinuxDevicePort, OlderKernelsWithoutTheBlockClassUseSysBlock) {
    FakeTree t;
    fs::remove_all(t.Sys() + "/class/block");
    fs::create_directories(t.Sys() + "/block");
    fs::path device = fs::path(t.Sys()) / "devices/h/2:0:0:0";
    FakeTree::Write(device / "type", "5");
    fs::create_directories(t.Sys() + "/block/sr0");
    fs::create_symlink(device, t.Sys() + "/block/sr0/device");
    LinuxDevicePort port(t.Sys(), t.Dev());
    auto block = port.ListNodes(NodeClass::Block);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0].host, 2);
    EXPECT_FALSE(port.GenericDriverPresent());
}

TEST(LinuxDevicePort, DescribeFollowsLinksAndChecksTheClass) {
    FakeTree t;
    t.Add("block", "sr1", "0:0:1:0", 5, "11:1");
    t.Add("scsi_generic", "sg3", "0:0:1:0", 5, "21:3");
    fs::create_symlink("sr1", t.Dev() + "/cdrom");
    LinuxDevicePort port(t.Sys(), t.Dev());
    struct {
        std::string path;
        NodeClass cls;
        bool found;
        int index;
    } cases[] = {
        {t.Dev() + "/cdrom", NodeClass::Block, true, 1},
        {t.Dev() + "/sr1", NodeClass::Block, true, 1},
        {t.Dev() + "/sr1", NodeClass::Generic, false, -1},
        {t.Dev() + "/sg3", NodeClass::Generic, true, 3},
        {t.Dev() + "/sg3", NodeClass::Block, false, -1},
        {t.Dev() + "/sr7", NodeClass::Block, false, -1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.path);
        DeviceNode n;
        EXPECT_EQ(port.Describe(c.path, c.cls, n), c.found);
        if (c.found) {
            EXPECT_EQ(n.index, c.index);
            EXPECT_EQ(n.target, 1);
        }
    }
}

TEST(LinuxDevicePort, DeviceNodesUnderOtherNamesMatchByDeviceNumber) {
    // /dev/null (character device 1:3) stands in for a generic node renamed by udev rules.
    struct stat st {};
    if (stat("/dev/null", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/null";
    std::string dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    FakeTree t;
    t.Add("scsi_generic", "sg0", "0:0:0:0", 5, "21:0");
    t.Add("scsi_generic", "sg5", "0:0:5:0", 5, dev);
    LinuxDevicePort port(t.Sys(), t.Dev());
    DeviceNode n;
    ASSERT_TRUE(port.Describe("/dev/null", NodeClass::Generic, n));
    EXPECT_EQ(n.index, 5);
    EXPECT_EQ(n.target, 5);
    EXPECT_EQ(n.path, "/dev/null");
    EXPECT_FALSE(port.Describe("/dev/null", NodeClass::Block, n));
}

// What --device is told when its path names no node of the transport.
TEST(LinuxDevicePort, SaysWhyAPathIsNoNodeOfTheTransport) {
    struct stat st {};
    if (stat("/dev/null", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/null";
    std::string dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    FakeTree withSg, plain;
    withSg.Add("scsi_generic", "sg5", "0:0:5:0", 5, dev);  // /dev/null plays a generic node
    FakeTree::Write(plain.Root() + "/image.bin", "x");
    LinuxDevicePort sgPort(withSg.Sys(), withSg.Dev()), plainPort(plain.Sys(), plain.Dev());
    const struct {
        LinuxDevicePort* port;
        std::string path;
        NodeClass cls;
        std::string why;
    } cases[] = {
        {&plainPort, plain.Root() + "/missing", NodeClass::Block, "there is no such file"},
        {&plainPort, plain.Dev(), NodeClass::Generic, "a directory, not a SCSI generic node"},
        {&plainPort, plain.Root() + "/image.bin", NodeClass::Block,
         "a regular file, not a CD/DVD block device (/dev/srN)"},
        {&plainPort, "/dev/null", NodeClass::Block,
         "/dev/null is a character device, not a CD/DVD block device"},
        {&sgPort, "/dev/null", NodeClass::Block,
         "/dev/null is a SCSI generic node: --transport=sr takes the drives' block devices"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        DeviceNode n;
        EXPECT_FALSE(c.port->Describe(c.path, c.cls, n));
        const std::string why = c.port->WhyNoNode(c.path, c.cls);
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
    }
    // The group of a node, for the advice to a user who may not open it.
    const group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(plainPort.NodeGroup(plain.Root() + "/image.bin"), own->gr_name);
    EXPECT_EQ(plainPort.NodeGroup(plain.Root() + "/missing"), "");
}

TEST(LinuxDevicePort, QueueLimitOfTheOpenNode) {
    const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    struct {
        const char* hwKb;      // max_hw_sectors_kb, nullptr: absent
        const char* segments;  // max_segments, nullptr: absent
        uint32_t want;
    } cases[] = {
        {"120", nullptr, 120u * 1024u},
        {"120", "254", 120u * 1024u},  // the sector limit is the smaller
        // An adapter with 96 scatter entries cannot take 32 MiB in one request, however large
        // its sector limit.
        {"32766", "96", 96u * page},
        {"32766", "0", 32766u * 1024u},  // no segment count known
        {nullptr, "96", 0u},             // no sector limit: unknown
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.hwKb ? c.hwKb : "-") + "/" + (c.segments ? c.segments : "-"));
        FakeTree t;
        t.Add("block", "sr0", "0:0:0:0", 5, "11:0");
        t.Add("scsi_generic", "sg0", "0:0:0:0", 5, "21:0");
        // The generic node reaches the block device through its SCSI device.
        fs::path device = fs::read_symlink(t.Sys() + "/class/scsi_generic/sg0/device");
        for (const fs::path& queue :
             {fs::path(t.Sys() + "/class/block/sr0/queue"), device / "block/sr0/queue"}) {
            if (c.hwKb) FakeTree::Write(queue / "max_hw_sectors_kb", c.hwKb);
            if (c.segments) FakeTree::Write(queue / "max_segments", c.segments);
        }
        LinuxDevicePort port(t.Sys(), t.Dev());
        int err = 0;
        for (const char* name : {"sr0", "sg0"}) {
            SCOPED_TRACE(name);
            int fd = port.Open(t.Dev() + "/" + name, err);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(port.MaxTransferBytes(fd), c.want);
            int dup = port.Duplicate(fd, err);  // the same node, closed on its own
            ASSERT_GE(dup, 0);
            EXPECT_NE(dup, fd);
            port.Close(fd);
            EXPECT_EQ(port.MaxTransferBytes(fd), 0u);
            EXPECT_EQ(port.MaxTransferBytes(dup), c.want);
            port.Close(dup);
        }
        EXPECT_EQ(port.Open(t.Dev() + "/sr9", err), -1);
        EXPECT_EQ(err, ENOENT);
    }
}

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(LinuxDevicePort, ADownloadsOpenHoldsTheBlockDeviceBesideAGenericNode) {
    struct Case {
        const char* name;
        const char* node;
        bool blockBeside;  // the generic node's SCSI device has a block device
        bool blockNode;    // ... and its node exists
        int held;          // descriptors the open holds
    } cases[] = {
        {"a block device alone", "sr0", true, true, 1},
        {"a generic node and its block device", "sg0", true, true, 2},
        {"a generic node of a device without a block device", "sg0", false, false, 1},
        {"a generic node whose block device cannot be opened", "sg0", true, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTree t;
        t.Add("block", "sr0", "0:0:0:0", 5, "11:0");
        t.Add("scsi_generic", "sg0", "0:0:0:0", 5, "21:0");
        fs::path device = fs::read_symlink(t.Sys() + "/class/scsi_generic/sg0/device");
        if (c.blockBeside) fs::create_directories(device / "block/sr0");
        if (!c.blockNode) fs::remove(t.Dev() + "/sr0");
        LinuxDevicePort port(t.Sys(), t.Dev());
        const std::string path = t.Dev() + "/" + c.node;
        const int before = OpenDescriptors();
        int err = 0;
        std::string busy;
        int fd = port.OpenExclusive(path, err, busy);
        ASSERT_GE(fd, 0) << std::strerror(err);
        EXPECT_EQ(OpenDescriptors() - before, c.held);
        EXPECT_EQ(busy, path);
        port.Close(fd);  // lets go of the block device too
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST(LinuxDevicePort, RightsFromTheEffectiveCapabilities) {
    FakeTree t;
    struct {
        const char* capEff;
        bool rawio;
    } cases[] = {{"0000000000000000", false},
                 {"0000000000020000", true},
                 {"000001ffffffffff", true},
                 {"000001fffffdffff", false}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.capEff);
        std::string status = t.Root() + "/status";
        std::ofstream(status) << "Name:\ttest\nCapInh:\t0000000000020000\nCapEff:\t" << c.capEff
                              << "\n";
        LinuxDevicePort port(t.Sys(), t.Dev(), status);
        EXPECT_EQ(port.MaySendAnyCommand(NodeClass::Block), c.rawio);
        EXPECT_TRUE(port.MaySendAnyCommand(NodeClass::Generic));
    }
}

TEST(LinuxPriority, LowersOnlyWhereNormalCanBeRestored) {
    struct {
        bool cap;
        rlim_t limit;
        int normal;
        bool expect;
    } cases[] = {{true, 0, 0, true},
                 {false, 20, 0, true},
                 {false, 19, 0, false},
                 {false, 0, 0, false},
                 {false, 15, 5, true},
                 {false, 14, 5, false},
                 {false, RLIM_INFINITY, 0, true}};
    for (auto& c : cases) {
        EXPECT_EQ(LinuxPriority::CanRestore(c.cap, c.limit, c.normal), c.expect)
            << c.cap << " " << c.limit << " " << c.normal;
    }
}

// The sg driver hands a reply to read() once poll() says it is there; a non-blocking pipe
// behaves the same way, so Collect's waiting can be tried without a drive.
TEST(LinuxDevicePort, CollectWaitsForTheReplyOrReturnsEmptyHanded) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    LinuxDevicePort port;
    sg_io_hdr_t got{};
    int err = 0;
    // Nothing there: not waiting, and waiting past a short deadline, both come back with 0.
    EXPECT_EQ(port.Collect(fds[0], got, 0, err), 0);
    EXPECT_EQ(port.Collect(fds[0], got, 1, err), 0);
    // A reply that arrives while the caller waits is collected whole.
    sg_io_hdr_t reply{};
    reply.pack_id = 4711;
    reply.status = 2;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(::write(fds[1], &reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    });
    EXPECT_EQ(port.Collect(fds[0], got, 60000, err), 1);
    writer.join();
    EXPECT_EQ(got.pack_id, 4711);
    EXPECT_EQ(got.status, 2);
    // A handle that is not open is an error, with its errno.
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(port.Collect(fds[0], got, 0, err), -1);
    EXPECT_EQ(err, EBADF);
}

TEST(LinuxPriority, ThreadEndsAtItsNormalNiceValue) {
    // On a thread of its own, so that the test runner is untouched.
    std::thread([] {
        LinuxPriority p;
        auto tid = static_cast<id_t>(::syscall(SYS_gettid));
        int normal = getpriority(PRIO_PROCESS, tid);
        p.SetLowest();
        int low = getpriority(PRIO_PROCESS, tid);
        if (p.canRestore())
            EXPECT_GT(low, normal);
        else
            EXPECT_EQ(low, normal);  // never lowered past what it can take back
        p.SetNormal();
        EXPECT_EQ(getpriority(PRIO_PROCESS, tid), normal);
    }).join();
}

TEST(LinuxPriority, EachThreadChangesOnlyItself) {
    // The no-wait worker sets itself to normal while the thread that started it stays lowered.
    std::thread([] {
        LinuxPriority p;
        auto tid = static_cast<id_t>(::syscall(SYS_gettid));
        p.SetLowest();
        int low = getpriority(PRIO_PROCESS, tid);
        std::thread([&] {
            p.SetLowest();
            p.SetNormal();
        }).join();
        EXPECT_EQ(getpriority(PRIO_PROCESS, tid), low);
        p.SetNormal();
    }).join();
}

}  // namespace
