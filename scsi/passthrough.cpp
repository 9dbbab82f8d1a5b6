#include "scsi/passthrough.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "scsi/held_drive.h"
#include "scsi/kernel_notes.h"
#include "scsi/sg_request.h"
#include "system/runtime.h"

namespace {

// The worker must not wait for itself when the clock hook runs on its own thread.
thread_local bool t_inWorker = false;
std::atomic<int> g_liveWorkers{0};

void Label(DriveRecord& r, int index) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%-2d", index % 100);
    r.label[0] = buf[0];
    r.label[1] = buf[1];
}

}  // namespace

// What a worker may still reach of the program: cut when the back end goes, so that a worker the
// kernel holds past that never calls a priority that may be gone by then, nor enters a port. One
// that entered the port's gate while attached keeps the port until it leaves (DevicePort).
struct PassThroughBackend::Link {
    std::mutex mu;
    bool attached = true;
};

// Everything a no-wait command's worker touches, shared with it so that it outlives abandonment.
struct PassThroughBackend::Job {
    sg_io_hdr_t hdr{};
    uint8_t cdb[16] = {};
    uint8_t sense[32] = {};
    std::vector<uint8_t> data;  // stands in for the caller's buffer
    void* callerBuffer = nullptr;
    DevicePort* port = nullptr;
    PriorityPort* priority = nullptr;
    int handle = -1;  // the worker's own duplicate of the open node
    int callResult = -1;
    int err = 0;
    std::atomic<bool> ended{false};
};

PassThroughBackend::PassThroughBackend() : link_(std::make_shared<Link>()) {}

PassThroughBackend::~PassThroughBackend() {
    // A running worker is left to the kernel, cut off from everything but its own job.
    if (worker_.joinable()) worker_.detach();
    std::lock_guard<std::mutex> lock(link_->mu);
    link_->attached = false;
}

int PassThroughBackend::OpenNode(const std::string& path, bool exclusive) {
    DevicePort* port = rt().devices;
    std::string busy;
    auto open = [&](int& err) {
        if (!port) return -1;
        return exclusive ? port->OpenExclusive(path, err, busy) : port->Open(path, err);
    };
    int err = ENODEV;
    int fd = open(err);
    if (fd < 0) {
        SleepMs(kOpenRetryMs);
        err = ENODEV;
        fd = open(err);
    }
    if (fd < 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "CreateFile Err %d", err);
        NoteOpenFailure(exclusive && err == EBUSY && !busy.empty() ? busy : path, err, !exclusive);
        ShowMessage(msg);
        if (exclusive && err == EBUSY) heldBy_ = busy;
    }
    return fd;
}

int PassThroughBackend::Enumerate(int capacity, DriveRecord* table) {
    DevicePort* port = rt().devices;
    if (!port) return 0;
    std::vector<DeviceNode> nodes;
    if (rt().deviceFilter.empty()) {
        nodes = port->ListNodes(NodeClass::Block);
    } else {
        for (const std::string& path : rt().deviceFilter) {
            DeviceNode n;
            if (!port->Describe(path, NodeClass::Block, n))
                NoteIgnoredDevice(path, port->WhyNoNode(path, NodeClass::Block));
            else if (std::none_of(nodes.begin(), nodes.end(),
                                  [&](const DeviceNode& m) { return m.path == n.path; }))
                nodes.push_back(n);
        }
    }
    int count = 0;
    for (const DeviceNode& n : nodes) {
        if (count >= capacity) break;
        table[count] = DriveRecord{};
        Inquire(n, count, table[count]);
        ++count;  // counted whether the inquiry worked or not
    }
    return count;
}

void PassThroughBackend::Inquire(const DeviceNode& node, int position, DriveRecord& record) {
    int fd = OpenNode(node.path, false);
    if (fd < 0) return;  // the record stays empty
    record.pathId = record.adapterId = record.targetId = record.lun = 0;
    Label(record, node.index >= 0 ? node.index : position);
    record.node = node.path;
    record.host = node.host;
    record.channel = node.channel;
    record.target = node.target;
    record.lunNumber = node.lun;

    uint8_t cdb[6] = {0x12, 0, 0, 0, 64, 0};
    uint8_t data[64] = {};
    uint8_t sense[32] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.cmd_len = sizeof cdb;
    h.mx_sb_len = 16;
    h.dxfer_len = sizeof data;
    h.dxferp = data;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = kInquiryTimeoutMs;
    int err = 0;
    int r = rt().devices->SgIo(fd, h, err);
    SentCommand seen = SgSeen(h, r);
    seen.err = r != 0 ? err : 0;
    ReportCommand(seen, 1, nullptr, SgTransportOk(r, h) ? 1 : 0, node.path);
    if (!SgTransportOk(r, h)) {
        char msg[80];
        std::snprintf(msg, sizeof msg, "Error IOCTL_SCSI_GET_ADDRESS ; error was %d\n",
                      r != 0 ? err : EIO);
        ShowMessage(msg);
    } else {
        std::memcpy(record.inquiry, data, sizeof record.inquiry);
        record.inquiryEnd = 0;
    }
    rt().devices->Close(fd);
}

int PassThroughBackend::Open(DriveRecord& record) {
    Abandon();
    TransportState& t = transport();
    maxTransfer_ = 0;
    watch_.Reset();
    heldBy_.clear();
    int fd = OpenNode(record.node, true);
    if (fd < 0) {
        t.openDevice = -1;
        return 0;
    }
    t.openDevice = fd;
    record.deviceHandle = fd;
    t.currentDrive = &record;
    uint32_t max = rt().devices->MaxTransferBytes(fd);
    maxTransfer_ = max ? max : kDefaultMaxTransfer;
    return 1;
}

bool PassThroughBackend::Close() {
    bool abandoned = Abandon();
    TransportState& t = transport();
    if (t.openDevice >= 0 && rt().devices) rt().devices->Close(t.openDevice);
    t.openDevice = -1;
    maxTransfer_ = 0;
    return abandoned;
}

bool PassThroughBackend::WaitIdle() {
    if (job_ && !t_inWorker) Reap();
    return false;
}

bool PassThroughBackend::Abandon() {
    if (!job_) return false;
    if (job_->ended) {
        Reap();
        return false;
    }
    worker_.detach();
    job_.reset();
    transport().asyncState = 2;  // it will never be seen to complete
    return true;
}

int PassThroughBackend::Judge(int ioctlResult, int err, const sg_io_hdr_t& hdr,
                              const uint8_t* sense, SentCommand& seen) {
    CommandErrorRecord& e = lastCommandError;
    uint8_t sk = 0, asc = 0, ascq = 0;
    if (ioctlResult == 0) SgSense(hdr, sense, sk, asc, ascq);
    uint8_t status = ioctlResult == 0 ? hdr.status : 0;
    seen.scsiStatus = status;
    seen.hostStatus = ioctlResult == 0 ? static_cast<uint8_t>(hdr.host_status) : 0;
    seen.senseKey = sk;
    seen.asc = asc;
    seen.ascq = ascq;
    seen.err = ioctlResult == 0 ? 0 : err;
    seen.timeoutMs = hdr.timeout;
    watch_.See(seen);
    auto fill = [&] {
        e.status = status;
        e.senseKey = sk;
        e.asc = asc;
        e.ascq = ascq;
    };
    if (!SgTransportOk(ioctlResult, hdr)) {
        fill();
        return 0;
    }
    if (sk == 0 && asc != 0 && ascq != 0) return 1;
    if (status != 0) {
        fill();
        return 0;
    }
    return 1;
}

int PassThroughBackend::Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer,
                                uint32_t length, uint8_t direction, int wait) {
    WaitIdle();  // never two commands in flight
    TransportState& t = transport();
    int n = cdbLength == 0xFF ? CdbLengthForOpcode(cdb[0]) : cdbLength;
    if (n > 12) n = 12;  // callers hand over 12 bytes
    uint8_t resolved = ResolveDirection(cdb[0], direction, length);

    std::memset(cdb_, 0, sizeof cdb_);
    std::memset(sense_, 0, sizeof sense_);
    std::memcpy(cdb_, cdb, static_cast<size_t>(n));
    SgPrepare(hdr_, cdb_, n, sense_, resolved, buffer, length, kCommandTimeoutMs);

    std::memcpy(lastCommandError.cdb, cdb_, 12);
    sent_ = SentCommand{};
    std::memcpy(sent_.cdb, cdb_, static_cast<size_t>(n));
    sent_.cdbLength = n;
    sent_.dir = DirectionName(resolved);
    sent_.length = hdr_.dxfer_len;

    const int fd = t.openDevice;
    DevicePort* port = rt().devices;
    // Nothing goes to a drive that has vanished, nor to no drive at all.
    if (watch_.Gone() || ((fd < 0 || !port) && wait)) {
        sent_.sent = false;
        return 0;
    }
    if (!wait) return Start();
    int err = 0;
    int r = port->SgIo(fd, hdr_, err);
    return Judge(r, err, hdr_, sense_, sent_);
}

int PassThroughBackend::Start() {
    TransportState& t = transport();
    auto job = std::make_shared<Job>();
    job->port = rt().devices;
    job->priority = rt().priority;
    if (t.openDevice >= 0 && job->port) {
        int err = 0;
        job->handle = job->port->Duplicate(t.openDevice, err);
        if (job->handle < 0) return 0;  // nothing was sent
    }
    job->hdr = hdr_;
    std::memcpy(job->cdb, cdb_, sizeof job->cdb);
    job->hdr.cmdp = job->cdb;
    job->hdr.sbp = job->sense;
    if (hdr_.dxferp) {
        const auto* data = static_cast<const uint8_t*>(hdr_.dxferp);
        job->data.assign(data, data + hdr_.dxfer_len);
        job->hdr.dxferp = job->data.data();
        job->callerBuffer = hdr_.dxferp;
    }
    t.asyncState = 0;
    job_ = job;
    ++g_liveWorkers;
    worker_ = std::thread([job, link = link_] {
        t_inWorker = true;
        DevicePort* port = nullptr;
        {
            // While the back end is attached the port is there: entering its gate now keeps it
            // there until this call has left, whenever the back end goes.
            std::lock_guard<std::mutex> lock(link->mu);
            if (link->attached) {
                // A new thread inherits the lowered priority of its creator.
                if (job->priority) job->priority->SetNormal();
                if (job->port && job->port->EnterCall()) port = job->port;
            }
        }
        int err = ENODEV;
        job->callResult = port && job->handle >= 0 ? port->SgIo(job->handle, job->hdr, err) : -1;
        job->err = err;
        if (port) {
            if (job->handle >= 0) port->Close(job->handle);
            port->LeaveCall();
        }
        job->ended = true;
        --g_liveWorkers;
    });
    return 1;
}

void PassThroughBackend::Reap() {
    if (worker_.joinable()) worker_.join();
    Job& job = *job_;
    // Judged like a waiting command: a CHECK CONDITION is a failure, not a completion.
    int ok = Judge(job.callResult, job.err, job.hdr, job.sense, sent_);
    if (job.callerBuffer && (job.hdr.dxfer_direction == SG_DXFER_FROM_DEV ||
                             job.hdr.dxfer_direction == SG_DXFER_TO_FROM_DEV))
        std::memcpy(job.callerBuffer, job.data.data(), job.data.size());
    transport().asyncState = ok ? 1 : 2;
    job_.reset();
}

int PassThroughBackend::Poll() {
    if (job_ && job_->ended) Reap();
    return transport().asyncState;
}

int PassThroughBackend::LiveWorkers() {
    return g_liveWorkers;
}

uint32_t PassThroughBackend::MaxTransfer() {
    return transport().openDevice >= 0 ? maxTransfer_ : 0;
}

bool PassThroughBackend::MaySendAnyCommand(std::string& why) {
    if (!heldBy_.empty()) {
        why = HeldDriveText(heldBy_, false);
        return false;
    }
    if (rt().devices && rt().devices->MaySendAnyCommand(NodeClass::Block)) return true;
    NoteRightsGrant();
    why =
        "WRITE BUFFER and vendor commands through /dev/srN need the CAP_SYS_RAWIO capability. "
        "Run as root, or use --transport=sg with read-write access to the drive's /dev/sgN.";
    return false;
}

void PassThroughBackend::Quiesce() {
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
