// Time per TEST UNIT READY through the command interface, against a bare SG_IO loop on the
// same node, and over an in-memory device port so the interface's own cost shows without a
// drive. Commands run as a DownLoad sends them: with the thread's priority held lowered.
//
// The hardware cases use DISCFLASH_BENCH_NODE, else the first /dev/sgN or /dev/srN that opens.
// After the benchmarks, the ratios: for the first /dev/srN and the first /dev/sgN that open (or
// the nodes DISCFLASH_BENCH_NODES names, blank separated), the median over back-to-back pairs
// of (command interface) / (bare SG_IO on the same node), and the heap allocations per command.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "scsi/linux_backends.h"
#include "scsi/transport.h"
#include "system/clocks.h"
#include "system/linux_devices.h"
#include "system/linux_priority.h"
#include "system/runtime.h"

// ---- heap allocations, counted ------------------------------------------------------------------

namespace {
std::atomic<uint64_t> g_allocations{0};

void* Allocate(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) {
    return Allocate(n);
}
void* operator new[](size_t n) {
    return Allocate(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

// ---- nodes --------------------------------------------------------------------------------------

bool Opens(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string FirstNode(const char* prefix) {
    for (int i = 0; i < 32; ++i) {
        std::string path = prefix + std::to_string(i);
        if (Opens(path)) return path;
    }
    return {};
}

std::string BenchNode() {
    if (const char* env = std::getenv("DISCFLASH_BENCH_NODE")) return env;
    std::string sg = FirstNode("/dev/sg");
    return sg.empty() ? FirstNode("/dev/sr") : sg;
}

std::vector<std::string> RatioNodes() {
    std::vector<std::string> nodes;
    if (const char* env = std::getenv("DISCFLASH_BENCH_NODES")) {
        std::istringstream in(env);
        for (std::string n; in >> n;) nodes.push_back(n);
        return nodes;
    }
    for (const char* prefix : {"/dev/sr", "/dev/sg"})
        if (std::string n = FirstNode(prefix); !n.empty()) nodes.push_back(n);
    return nodes;
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

// One drive open through the command interface, the thread's priority held lowered as during a
// DownLoad.
struct Session {
    RealClock clock;
    LinuxPriority priority;
    TransportSet backends;
    DriveRecord record;
    bool open = false;

    Session(DevicePort& port, bool generic, const std::string& node) {
        ResetRuntime();
        transport().Reset();
        rt().clock = &clock;
        rt().priority = &priority;
        rt().devices = &port;
        rt().transport = generic ? TransportChoice::Sg : TransportChoice::Sr;
        record.node = node;
        open = InitTransport() == 1 && OpenDrive(record) == 1;
    }
    ~Session() {
        CloseDrive();
        ReleaseAspiLibrary();
        ResetRuntime();
    }
};

// A TEST UNIT READY request with nothing of the program in it.
struct BareRequest {
    uint8_t cdb[6] = {};
    uint8_t sense[32] = {};
    sg_io_hdr_t h{};
    BareRequest() {
        h.interface_id = 'S';
        h.dxfer_direction = SG_DXFER_NONE;
        h.cmd_len = sizeof cdb;
        h.mx_sb_len = 16;
        h.cmdp = cdb;
        h.sbp = sense;
        h.timeout = 300000;
    }
};

// By SG_IO: the kernel's own cost.
int BareTestUnitReady(int fd) {
    BareRequest r;
    return ::ioctl(fd, SG_IO, &r.h);
}

// Through the sg driver's asynchronous interface, as the sg back end uses it: submit, read, and
// wait only when the reply is not there yet. What that interface costs of itself.
int BareSubmitCollect(int fd) {
    BareRequest r;
    if (::write(fd, &r.h, sizeof r.h) < 0) return -1;
    for (;;) {
        if (::read(fd, &r.h, sizeof r.h) >= 0) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 180000);
    }
}

void CountAllocations(benchmark::State& state, uint64_t before) {
    state.counters["allocs/cmd"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_ExecCommandTestUnitReady(benchmark::State& state) {
    std::string node = BenchNode();
    if (node.empty()) {
        state.SkipWithError("no /dev/sgN or /dev/srN can be opened (set DISCFLASH_BENCH_NODE)");
        return;
    }
    LinuxDevicePort port;
    Session s(port, IsGeneric(node), node);
    if (!s.open) {
        state.SkipWithError(("cannot open " + node).c_str());
        return;
    }
    LoweredPriority lowered;
    uint64_t before = g_allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(TestUnitReady());
    CountAllocations(state, before);
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
    for (auto _ : state) benchmark::DoNotOptimize(BareTestUnitReady(fd));
    ::close(fd);
    state.SetLabel(node);
}
BENCHMARK(BM_BareSgIoTestUnitReady);

// The interface and back end alone: the kernel answers instantly.
void BM_ExecCommandInMemory(benchmark::State& state) {
    InstantPort port;
    bool generic = state.range(0) != 0;
    Session s(port, generic, "memory");
    if (!s.open) {
        state.SkipWithError("in-memory open failed");
        return;
    }
    LoweredPriority lowered;
    uint64_t before = g_allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(TestUnitReady());
    CountAllocations(state, before);
    state.SetLabel(generic ? "sg" : "sr");
}
BENCHMARK(BM_ExecCommandInMemory)->Arg(0)->Arg(1);

// ---- ratios ---------------------------------------------------------------------------------

// Pairs of one command each, back to back, in alternating order: a pair sees the same machine,
// and the median passes over the pairs in which the emulator or the host was busy elsewhere.
// (Halves of many commands each scatter by a third from one run to the next in a loaded guest.)
constexpr int kPairs = 5001;

// The value at fraction q of the sorted values (0.5: the median).
double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

template <typename F>
double Microseconds(F command) {
    auto start = std::chrono::steady_clock::now();
    command();
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

// The kernel's port, keeping the handle the drive was opened with for a download.
struct HeldPort : LinuxDevicePort {
    int held = -1;
    int OpenExclusive(const std::string& path, int& err, std::string& busy) override {
        held = LinuxDevicePort::OpenExclusive(path, err, busy);
        return held;
    }
};

// Interface against bare SG_IO on one node; on a generic node also the driver's asynchronous
// interface alone, which the sg back end cannot do without (a restarted SG_IO would send the
// command a second time). The bare commands go through the interface's own open node: a download
// holds it, so that no second opening of it is let in.
void Ratio(const std::string& node) {
    const bool generic = IsGeneric(node);
    HeldPort port;
    Session s(port, generic, node);
    int fd = port.held >= 0 ? ::fcntl(port.held, F_DUPFD_CLOEXEC, 0) : -1;
    if (!s.open || fd < 0) {
        std::printf("ratio %s: cannot open the node\n", node.c_str());
        if (fd >= 0) ::close(fd);
        return;
    }
    LoweredPriority lowered;
    auto exec = [] { benchmark::DoNotOptimize(TestUnitReady()); };
    auto bare = [fd] { benchmark::DoNotOptimize(BareTestUnitReady(fd)); };
    auto async = [fd] { benchmark::DoNotOptimize(BareSubmitCollect(fd)); };
    for (int i = 0; i < 500; ++i) {  // warm every path up
        exec();
        bare();
        if (generic) async();
    }
    std::vector<double> ratios, asyncRatios, execUs, bareUs;
    uint64_t allocations = 0;
    for (int i = 0; i < kPairs; ++i) {
        double b = 0, e = 0;
        auto timedExec = [&] {
            uint64_t before = g_allocations.load();
            e = Microseconds(exec);
            allocations += g_allocations.load() - before;
        };
        if (i % 2 == 0) b = Microseconds(bare);
        timedExec();
        if (i % 2 != 0) b = Microseconds(bare);
        if (generic) asyncRatios.push_back(Microseconds(async) / b);
        ratios.push_back(e / b);
        execUs.push_back(e);
        bareUs.push_back(b);
    }
    ::close(fd);
    std::string floor;
    if (generic) {
        char text[96];
        std::snprintf(text, sizeof text, " (the driver's write/read interface alone: %.3fx)",
                      Quantile(asyncRatios, 0.5));
        floor = text;
    }
    std::printf(
        "ratio %-9s (%s): ExecCommand %.1f us, bare SG_IO %.1f us per TEST UNIT READY; "
        "%.3fx (median of %d pairs, quartiles %.3f-%.3f; goal <= %s)%s; "
        "%.2f heap allocations per command (goal 0)\n",
        node.c_str(), generic ? "sg" : "sr", Quantile(execUs, 0.5), Quantile(bareUs, 0.5),
        Quantile(ratios, 0.5), kPairs, Quantile(ratios, 0.25), Quantile(ratios, 0.75),
        generic ? "1.10" : "1.05", floor.c_str(), static_cast<double>(allocations) / kPairs);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::vector<std::string> nodes = RatioNodes();
    if (nodes.empty()) std::printf("ratios: no /dev/srN or /dev/sgN can be opened\n");
    for (const std::string& node : nodes) Ratio(node);
    return 0;
}
