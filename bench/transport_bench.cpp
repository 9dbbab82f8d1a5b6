// Time per TEST UNIT READY through the command interface, against a bare SG_IO loop on the
// same node, and over an in-memory device port so the interface's own cost shows without a
// drive. The node comes from DISCFLASH_BENCH_NODE, else the first /dev/sgN or /dev/srN that
// opens; without one the hardware benchmarks are skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/clocks.h"
#include "system/linux_devices.h"
#include "system/linux_priority.h"
#include "system/runtime.h"

namespace {

std::string BenchNode() {
    if (const char* env = std::getenv("DISCFLASH_BENCH_NODE")) return env;
    for (const char* prefix : {"/dev/sg", "/dev/sr"}) {
        for (int i = 0; i < 32; ++i) {
            std::string path = prefix + std::to_string(i);
            int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
                return path;
            }
        }
    }
    return {};
}

bool IsGeneric(const std::string& path) {
    LinuxDevicePort port;
    DeviceNode n;
    return port.Describe(path, NodeClass::Generic, n);
}

// Answers every request at once with GOOD status.
class InstantPort : public DevicePort {
  public:
    std::vector<DeviceNode> ListNodes(NodeClass) override { return {}; }
    bool Describe(const std::string&, NodeClass, DeviceNode&) override { return false; }
    bool GenericDriverPresent() override { return true; }
    int Open(const std::string&, int&) override { return 3; }
    void Close(int) override {}
    int Duplicate(int handle, int&) override { return handle; }
    int SgIo(int, sg_io_hdr_t& hdr, int&) override {
        Done(hdr);
        return 0;
    }
    int Submit(int, sg_io_hdr_t&, int&) override { return 0; }
    int Collect(int, sg_io_hdr_t& hdr, int, int&) override {
        Done(hdr);
        return 1;
    }
    int SetReservedSize(int, int bytes, int&) override { return bytes; }
    uint32_t MaxTransferBytes(int) override { return 262144; }
    bool MaySendAnyCommand(NodeClass) override { return true; }

  private:
    static void Done(sg_io_hdr_t& hdr) {
        hdr.status = 0;
        hdr.host_status = 0;
        hdr.driver_status = 0;
        hdr.sb_len_wr = 0;
        hdr.info = SG_INFO_OK;
    }
};

struct Session {
    RealClock clock;
    LinuxPriority priority;
    TransportSet backends;
    DriveRecord record;

    Session(DevicePort& port, bool generic, const std::string& node) {
        ResetRuntime();
        transport().Reset();
        rt().clock = &clock;
        rt().priority = &priority;
        rt().devices = &port;
        rt().transport = generic ? TransportChoice::Sg : TransportChoice::Sr;
        record.node = node;
    }
    bool Open() { return InitTransport() == 1 && OpenDrive(record) == 1; }
    ~Session() {
        CloseDrive();
        ReleaseAspiLibrary();
        ResetRuntime();
    }
};

void BM_ExecCommandTestUnitReady(benchmark::State& state) {
    std::string node = BenchNode();
    if (node.empty()) {
        state.SkipWithError("no /dev/sgN or /dev/srN can be opened (set DISCFLASH_BENCH_NODE)");
        return;
    }
    LinuxDevicePort port;
    Session s(port, IsGeneric(node), node);
    if (!s.Open()) {
        state.SkipWithError(("cannot open " + node).c_str());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(TestUnitReady());
    state.SetLabel(node);
}
BENCHMARK(BM_ExecCommandTestUnitReady);

void BM_BareSgIoTestUnitReady(benchmark::State& state) {
    std::string node = BenchNode();
    int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("no /dev/sgN or /dev/srN can be opened (set DISCFLASH_BENCH_NODE)");
        return;
    }
    uint8_t cdb[6] = {};
    uint8_t sense[32];
    for (auto _ : state) {
        sg_io_hdr_t h{};
        h.interface_id = 'S';
        h.dxfer_direction = SG_DXFER_NONE;
        h.cmd_len = sizeof cdb;
        h.mx_sb_len = 16;
        h.cmdp = cdb;
        h.sbp = sense;
        h.timeout = 300000;
        benchmark::DoNotOptimize(::ioctl(fd, SG_IO, &h));
    }
    ::close(fd);
    state.SetLabel(node);
}
BENCHMARK(BM_BareSgIoTestUnitReady);

// The interface and back end alone: the kernel answers instantly.
void BM_ExecCommandInMemory(benchmark::State& state) {
    InstantPort port;
    bool generic = state.range(0) != 0;
    Session s(port, generic, "memory");
    if (!s.Open()) {
        state.SkipWithError("in-memory open failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(TestUnitReady());
    state.SetLabel(generic ? "sg" : "sr");
}
BENCHMARK(BM_ExecCommandInMemory)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
