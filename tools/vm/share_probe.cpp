// What other programs can do to a drive while one program holds it, for tools/vm-kernel: a holder
// that keeps a node open the way a download would, and an intruder that opens the drive again and
// again and sends its own commands, as udev's CD prober does when a drive's identity changes.
//   share_probe hold NODE SECONDS [excl] [claim=BLOCK]
//       opens NODE read-write (O_EXCL with "excl"; with claim=, BLOCK is opened read-write and
//       O_EXCL beside it) and sends TEST UNIT READY every 200 ms for SECONDS, or until SIGTERM;
//       INQUIRY with allocation lengths 41 and 42 mark the start and the end of the hold in the
//       drive's log
//   share_probe intrude NODE SECONDS [excl] [mark=OP]
//       every 200 ms for SECONDS: opens NODE read-only (O_EXCL with "excl"), sends TEST UNIT
//       READY, INQUIRY and a 10-byte command of opcode OP (hex; default 46, GET CONFIGURATION),
//       closes it; the opcode tells this intruder's commands apart in the drive's log
// Each prints one line: SHARE <role> node=<NODE> ... opened=<N> refused=<EBUSY count> failed=<N>
// [first-error=<errno name>].
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int kIntervalMs = 200;
constexpr uint8_t kStartMark = 41, kEndMark = 42;  // INQUIRY allocation lengths

bool Command(int fd, const uint8_t* cdb, uint8_t cdbLength, uint8_t* data, unsigned length) {
    uint8_t sense[32] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = cdbLength;
    h.cmdp = const_cast<uint8_t*>(cdb);
    h.dxfer_direction = length ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    h.dxferp = data;
    h.dxfer_len = length;
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.timeout = 10000;
    return ::ioctl(fd, SG_IO, &h) == 0;
}

void Inquiry(int fd, uint8_t allocation) {
    const uint8_t cdb[6] = {0x12, 0, 0, 0, allocation, 0};
    uint8_t data[64] = {};
    Command(fd, cdb, sizeof cdb, data, allocation);
}

void TestUnitReady(int fd) {
    const uint8_t cdb[6] = {};
    Command(fd, cdb, sizeof cdb, nullptr, 0);
}

struct Tally {
    int opened = 0, refused = 0, failed = 0, firstError = 0;
    void Failed(int err) {
        (err == EBUSY ? refused : failed)++;
        if (!firstError) firstError = err;
    }
    std::string Text() const {
        std::string s = "opened=" + std::to_string(opened) + " refused=" + std::to_string(refused) +
                        " failed=" + std::to_string(failed);
        if (firstError) s += std::string(" first-error=") + strerrorname_np(firstError);
        return s;
    }
};

volatile std::sig_atomic_t g_stop = 0;

template <typename F>
void Every(int seconds, F f) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_stop && steady_clock::now() < end) {
        f();
        std::this_thread::sleep_for(milliseconds(kIntervalMs));
    }
}

int Hold(const std::string& node, int seconds, bool excl, const std::string& claim) {
    Tally t;
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | (excl ? O_EXCL : 0));
    if (fd < 0) t.Failed(errno);
    int claimFd = -1;
    if (fd >= 0 && !claim.empty()) {
        claimFd = ::open(claim.c_str(), O_RDWR | O_NONBLOCK | O_EXCL);
        if (claimFd < 0) t.Failed(errno);
    }
    if (fd >= 0 && (claim.empty() || claimFd >= 0)) {
        ++t.opened;
        Inquiry(fd, kStartMark);
        Every(seconds, [fd] { TestUnitReady(fd); });
        Inquiry(fd, kEndMark);
    }
    if (claimFd >= 0) ::close(claimFd);
    if (fd >= 0) ::close(fd);
    std::printf("SHARE hold node=%s excl=%d claim=%s %s\n", node.c_str(), excl ? 1 : 0,
                claim.empty() ? "-" : claim.c_str(), t.Text().c_str());
    return t.opened ? 0 : 1;
}

int Intrude(const std::string& node, int seconds, bool excl, uint8_t mark) {
    Tally t;
    Every(seconds, [&] {
        int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | (excl ? O_EXCL : 0));
        if (fd < 0) return t.Failed(errno);
        ++t.opened;
        TestUnitReady(fd);
        Inquiry(fd, 36);
        const uint8_t marked[10] = {mark, 0, 0, 0, 0, 0, 0, 0, 8, 0};
        uint8_t data[8] = {};
        Command(fd, marked, sizeof marked, data, sizeof data);
        ::close(fd);
    });
    std::printf("SHARE intrude node=%s excl=%d mark=%02X %s\n", node.c_str(), excl ? 1 : 0, mark,
                t.Text().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s hold|intrude NODE SECONDS [excl] [claim=BLOCK] [mark=OP]\n",
                     argv[0]);
        return 64;
    }
    const std::string role = argv[1], node = argv[2];
    const int seconds = std::atoi(argv[3]);
    bool excl = false;
    std::string claim;
    uint8_t mark = 0x46;
    for (int i = 4; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "excl")
            excl = true;
        else if (a.rfind("claim=", 0) == 0)
            claim = a.substr(6);
        else if (a.rfind("mark=", 0) == 0)
            mark = static_cast<uint8_t>(std::strtoul(a.c_str() + 5, nullptr, 16));
    }
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    if (role == "hold") return Hold(node, seconds, excl, claim);
    if (role == "intrude") return Intrude(node, seconds, excl, mark);
    std::fprintf(stderr, "%s: unknown role %s\n", argv[0], role.c_str());
    return 64;
}
