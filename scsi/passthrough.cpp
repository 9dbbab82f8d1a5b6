// Pass-through back end (--transport=sr): CD/DVD block devices /dev/srN, commands by SG_IO.
//
// Labels: a record's two-character label is the sr index in decimal, left-justified ("0 " for
// /dev/sr0, "12" for /dev/sr12; above 99 the last two digits; a node without a number takes its
// place in the table), so the list tells the user which node a drive is. The record's `node` is
// what Open uses. With --device the given nodes are listed in the given order, each once.
//
// A no-wait command runs on a worker thread with copies of its own: the request, the data and
// a duplicate handle of the node. The next command waits for it; CloseDrive and OpenDrive give
// it up instead and leave it to the kernel, which may hold it until its 300 s time-out: its late
// end then reaches nothing the program still uses, and the worker closes its own handle.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "scsi/kernel_notes.h"
#include "scsi/linux_backends.h"
#include "system/runtime.h"

namespace {

constexpr uint32_t kInquiryTimeoutMs = 5000;
// Assumed when the queue does not tell its limit.
constexpr uint32_t kDefaultMaxTransfer = 262144;

// Quiesce must not wait for the worker when the clock hook runs on the worker's own thread.
thread_local bool t_inWorker = false;
std::atomic<int> g_liveWorkers{0};

// What a worker may still reach of the program: cut when the back end goes, so that a worker the
// kernel holds past that never calls a priority that may be gone by then, nor enters a port. One
// that entered the port's gate while attached keeps the port until it leaves (DevicePort).
struct Link {
    std::mutex mu;
    bool attached = true;
};

// Everything a no-wait command's worker touches, shared with it so that it outlives abandonment.
struct Job {
    SgBlock block;
    std::vector<uint8_t> data;  // stands in for the caller's buffer
    void* callerBuffer = nullptr;
    DevicePort* port = nullptr;
    PriorityPort* priority = nullptr;
    int handle = -1;  // the worker's own duplicate of the open node
    int callResult = -1;
    int err = 0;
    std::atomic<bool> ended{false};

    void Run(const std::shared_ptr<Link>& link) {
        t_inWorker = true;
        DevicePort* entered = nullptr;
        {
            // While the back end is attached the port is there: entering its gate now keeps it
            // there until this call has left, whenever the back end goes.
            std::lock_guard<std::mutex> lock(link->mu);
            if (link->attached) {
                // A new thread inherits the lowered priority of its creator.
                if (priority) priority->SetNormal();
                if (port->EnterCall()) entered = port;
            }
        }
        err = ENODEV;
        callResult = entered ? entered->SgIo(handle, block.hdr, err) : -1;
        if (entered) {
            entered->Close(handle);
            entered->LeaveCall();
        }
        ended = true;
        --g_liveWorkers;
    }
};

class PassThroughBackend : public Backend {
  public:
    ~PassThroughBackend() override {
        // A running worker is left to the kernel, cut off from everything but its own job.
        if (worker_.joinable()) worker_.detach();
        std::lock_guard<std::mutex> lock(link_->mu);
        link_->attached = false;
    }

    int Load() override { return 1; }
    int Enumerate(int capacity, DriveRecord* table, CommandReport report) override {
        DevicePort* port = rt().devices;
        if (!port) return 0;
        int count = 0;
        for (const DeviceNode& n : ListedNodes(*port, NodeClass::Block)) {
            if (count >= capacity) break;
            Inquire(*port, n, count, table[count], report);
            ++count;  // counted whether the inquiry worked or not
        }
        return count;
    }

    int Open(const std::string& node, int& err, std::string& held) override {
        DevicePort* port = rt().devices;
        if (!port) return -1;
        fd_ = port->OpenExclusive(node, err, held);
        if (fd_ < 0) return -1;
        const uint32_t max = port->MaxTransferBytes(fd_);
        maxTransfer_ = max ? max : kDefaultMaxTransfer;
        return fd_;
    }

    void Close() override {
        if (job_) {
            worker_.detach();  // it keeps what it needs; its end reaches nothing
            job_.reset();
        }
        if (fd_ >= 0 && rt().devices) rt().devices->Close(fd_);
        fd_ = -1;
        maxTransfer_ = 0;
    }

    void Execute(const CommandRequest& r, CommandOutcome& o) override {
        if (fd_ >= 0 && rt().devices) Carry(*rt().devices, fd_, block_, r, o);
    }

    bool Start(const CommandRequest& r, CommandOutcome& o) override {
        DevicePort* port = rt().devices;
        if (fd_ < 0 || !port) return false;
        auto job = std::make_shared<Job>();
        job->port = port;
        job->priority = rt().priority;
        job->handle = port->Duplicate(fd_, o.err);
        if (job->handle < 0) return false;  // nothing was sent
        job->block.Prepare(r);
        sg_io_hdr_t& h = job->block.hdr;
        if (h.dxferp) {
            const auto* data = static_cast<const uint8_t*>(h.dxferp);
            job->data.assign(data, data + h.dxfer_len);
            job->callerBuffer = h.dxferp;
            h.dxferp = job->data.data();
        }
        o.sent = true;
        job_ = job;
        ++g_liveWorkers;
        worker_ = std::thread([job, link = link_] { job->Run(link); });
        return true;
    }

    bool Poll(CommandOutcome& o) override { return job_ && job_->ended && Reap(o); }
    bool Finish(CommandOutcome& o) override { return job_ && Reap(o); }

    uint32_t MaxTransfer() override { return fd_ >= 0 ? maxTransfer_ : 0; }
    bool MaySendAnyCommand(std::string& why) override {
        if (rt().devices && rt().devices->MaySendAnyCommand(NodeClass::Block)) return true;
        NoteRightsGrant();
        why =
            "WRITE BUFFER and vendor commands through /dev/srN need the CAP_SYS_RAWIO capability. "
            "Run as root, or use --transport=sg with read-write access to the drive's /dev/sgN.";
        return false;
    }

    void Quiesce() override {
        if (t_inWorker || !job_ || job_->ended) return;
        DevicePort* port = rt().devices;
        if (!port) return;
        // Time only moves when the caller sleeps: a worker that is not held until a later time
        // must finish before the caller polls again, or a command that completes at once could
        // seem to run for ever. Bounded in real time all the same.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!job_->ended && std::chrono::steady_clock::now() < until) {
            if (!port->CallDue() && port->CallWaiting()) return;  // held until a later time
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

  private:
    static void Carry(DevicePort& port, int fd, SgBlock& block, const CommandRequest& r,
                      CommandOutcome& o) {
        block.Prepare(r);
        int err = 0;
        const int result = port.SgIo(fd, block.hdr, err);
        block.Read(result, err, o);
    }

    // The listing INQUIRY of one node, which opens as the download's does; a node that does not
    // leaves its record empty.
    static void Inquire(DevicePort& port, const DeviceNode& node, int position, DriveRecord& record,
                        CommandReport report) {
        record = DriveRecord{};
        std::string held;
        const int fd = OpenTwice(
            node.path, true, [&](int& err, std::string&) { return port.Open(node.path, err); },
            held);
        if (fd < 0) return;
        static const uint8_t kInquiry[6] = {0x12, 0, 0, 0, 64, 0};
        uint8_t data[64] = {};
        const CommandRequest r{.cdb = kInquiry,
                               .cdbLength = sizeof kInquiry,
                               .direction = XFER_IN,
                               .data = data,
                               .length = sizeof data,
                               .timeoutMs = kInquiryTimeoutMs};
        SgBlock block;
        CommandOutcome o;
        Carry(port, fd, block, r, o);
        const bool ok = o.Delivered();
        FillRecord(record, node, node.index >= 0 ? node.index : position, ok ? data : nullptr);
        report(r, o, ok ? 1 : 0, node.path);
        if (!ok) {
            char msg[80];
            std::snprintf(msg, sizeof msg, "Error IOCTL_SCSI_GET_ADDRESS ; error was %d\n",
                          o.err ? o.err : EIO);
            ShowMessage(msg);
        }
        port.Close(fd);
    }

    // The worker's outcome once it has ended, its data into the caller's buffer.
    bool Reap(CommandOutcome& o) {
        if (worker_.joinable()) worker_.join();
        const Job& job = *job_;
        job.block.Read(job.callResult, job.err, o);
        const int dir = job.block.hdr.dxfer_direction;
        if (job.callerBuffer && (dir == SG_DXFER_FROM_DEV || dir == SG_DXFER_TO_FROM_DEV))
            std::memcpy(job.callerBuffer, job.data.data(), job.data.size());
        job_.reset();
        return true;
    }

    int fd_ = -1;
    uint32_t maxTransfer_ = 0;
    SgBlock block_;
    std::shared_ptr<Link> link_ = std::make_shared<Link>();
    std::shared_ptr<Job> job_;  // the running no-wait command, until reaped or given up
    std::thread worker_;
};

}  // namespace

std::unique_ptr<Backend> MakePassThroughBackend() {
    return std::make_unique<PassThroughBackend>();
}

int PassThroughWorkers() {
    return g_liveWorkers;
}
