// The kernel side of emulated drives: device nodes, SG_IO and the sg read/write interface.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "emu/emulated_drive.h"
#include "system/errno_name.h"

namespace {

constexpr const char* kBlockPrefix = "emu:sr";
constexpr const char* kGenericPrefix = "emu:sg";
constexpr uint32_t kDefaultTimeoutMs = 60000;  // what the kernel takes for a timeout of 0
constexpr uint16_t kDriverSense = 0x08;
constexpr int kDxferUnknown = -5;  // SG_DXFER_UNKNOWN, absent from the C library's header

// "emu:sr3" -> 3, or -1.
int NodeIndex(const std::string& path, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (path.compare(0, n, prefix) != 0 || path.size() == n || path.size() > n + 3) return -1;
    if (path[n] == '0' && path.size() > n + 1) return -1;
    int index = 0;
    for (size_t i = n; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return -1;
        index = index * 10 + (path[i] - '0');
    }
    return index;
}

bool ToDevice(int direction) {
    return direction == SG_DXFER_TO_DEV || direction == SG_DXFER_TO_FROM_DEV;
}
bool FromDevice(int direction) {
    return direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV ||
           direction == kDxferUnknown;
}

struct Pending {
    sg_io_hdr_t hdr;  // as submitted, completed fields filled in
    std::vector<uint8_t> dataIn;
    std::array<uint8_t, kSenseLength> sense{};
    size_t senseLength = 0;
    bool hung = false;
    bool vanished = false;   // the drive went with it
    uint64_t readyAtMs = 0;  // a drive that takes its time completes then
};

}  // namespace

struct EmulatedDevicePort::Impl {
    explicit Impl(ClockPort& c) : clock(c), owner(std::this_thread::get_id()) {}

    ClockPort& clock;
    std::thread::id owner;
    std::vector<std::unique_ptr<EmulatedDrive>> drives;

    std::mutex mu;
    std::condition_variable cv;
    struct Handle {
        size_t drive;
        NodeClass cls;
        // Submitted, in order; shared by the duplicates of a handle, as the kernel's queue is.
        std::shared_ptr<std::deque<Pending>> queue = std::make_shared<std::deque<Pending>>();
    };
    std::map<int, Handle> handles;
    int nextHandle = 3;
    std::vector<uint64_t> deadlines;  // of SgIo calls waiting out a hang
    bool closing = false;
    std::vector<int> opens;  // open attempts per drive, for busy drives

    DeviceNode NodeOf(size_t index, NodeClass cls) const {
        DeviceNode node;
        node.path =
            (cls == NodeClass::Block ? kBlockPrefix : kGenericPrefix) + std::to_string(index);
        node.index = static_cast<int>(index);
        node.host = 0;
        node.channel = 0;
        node.target = static_cast<int>(index);
        node.lun = 0;
        node.type = drives[index]->Spec().type & 0x1F;
        return node;
    }

    // What the kernel refuses before the command reaches the drive: an errno, or 0.
    static int Refusal(const sg_io_hdr_t& hdr, NodeClass cls) {
        if (hdr.interface_id != 'S') return ENOSYS;
        if (!hdr.cmdp || hdr.cmd_len < 6 || hdr.cmd_len > 16)
            return cls == NodeClass::Block ? EINVAL : EMSGSIZE;
        if (hdr.dxfer_len > 0) {
            if (!hdr.dxferp) return EFAULT;
            if (hdr.iovec_count != 0) return EINVAL;  // scatter lists are not emulated
            // The block layer's SG_IO wants a real direction with data.
            if (cls == NodeClass::Block && !ToDevice(hdr.dxfer_direction) &&
                hdr.dxfer_direction != SG_DXFER_FROM_DEV)
                return EINVAL;
            if (hdr.dxfer_len > kMaxTransfer) return cls == NodeClass::Block ? EIO : EINVAL;
        }
        if (hdr.mx_sb_len > 0 && !hdr.sbp) return EFAULT;
        return 0;
    }

    // Runs the command on the drive; fills `p` except for the hang's outcome.
    void Run(size_t drive, const sg_io_hdr_t& hdr, Pending& p) {
        p.hdr = hdr;
        const uint8_t* out = nullptr;
        size_t outLength = 0, inCapacity = 0;
        if (hdr.dxfer_len > 0 && ToDevice(hdr.dxfer_direction)) {
            out = static_cast<const uint8_t*>(hdr.dxferp);
            outLength = hdr.dxfer_len;
        }
        if (hdr.dxfer_len > 0 && FromDevice(hdr.dxfer_direction)) inCapacity = hdr.dxfer_len;
        uint64_t now = clock.ElapsedMs();
        DriveReply r =
            drives[drive]->Execute(hdr.cmdp, hdr.cmd_len, out, outLength, inCapacity, now);
        if (r.hang) {
            p.hung = true;
            return;
        }
        if (r.vanished) {
            p.vanished = true;
            sg_io_hdr_t& h = p.hdr;
            h.status = h.masked_status = h.msg_status = 0;
            h.host_status = kDidNoConnect;
            h.driver_status = 0;
            h.sb_len_wr = 0;
            h.duration = 0;
            h.resid = static_cast<int>(hdr.dxfer_len);
            h.info = SG_INFO_CHECK;
            return;
        }
        p.readyAtMs = now + r.busyMs;
        p.dataIn = std::move(r.dataIn);
        // The kernel moves no more than the request's buffer takes, and nothing the other way.
        p.dataIn.resize(std::min(p.dataIn.size(), inCapacity));
        sg_io_hdr_t& h = p.hdr;
        h.status = r.status;
        h.masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
        h.msg_status = 0;
        h.host_status = 0;
        h.driver_status = 0;
        h.sb_len_wr = 0;
        h.duration = 0;
        size_t moved = inCapacity ? p.dataIn.size() : r.outUsed;
        h.resid = static_cast<int>(hdr.dxfer_len - std::min<size_t>(moved, hdr.dxfer_len));
        if (r.status == 0x02) {
            p.sense = FixedSense(r.senseKey, r.asc, r.ascq);
            p.senseLength = std::min<size_t>(kSenseLength, hdr.mx_sb_len);
            h.sb_len_wr = static_cast<unsigned char>(p.senseLength);
            h.driver_status = kDriverSense;
        }
        h.info = (h.masked_status || h.host_status || h.driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
    }

    // The kernel gave up on the command.
    static void TimedOut(sg_io_hdr_t& h, uint32_t timeout) {
        h.status = 0;
        h.masked_status = 0;
        h.msg_status = 0;
        h.host_status = kDidTimeOut;
        h.driver_status = 0;
        h.sb_len_wr = 0;
        h.resid = static_cast<int>(h.dxfer_len);
        h.duration = timeout;
        h.info = SG_INFO_CHECK;
    }

    // Hands the reply to the caller's header and buffers.
    static void Deliver(Pending& p, sg_io_hdr_t& hdr) {
        if (!p.dataIn.empty()) std::memcpy(p.hdr.dxferp, p.dataIn.data(), p.dataIn.size());
        if (p.senseLength) std::memcpy(p.hdr.sbp, p.sense.data(), p.senseLength);
        hdr = p.hdr;
    }

    // The open handle a request names, once the kernel's own checks let the request through;
    // null with errno in err otherwise. Called with mu held.
    Handle* Accept(int handle, const sg_io_hdr_t& hdr, int& err) {
        auto it = handles.find(handle);
        if (it == handles.end()) {
            err = EBADF;
            return nullptr;
        }
        if (int e = Refusal(hdr, it->second.cls)) {
            err = e;
            return nullptr;
        }
        err = 0;
        return &it->second;
    }

    bool Gone(size_t drive) const { return drives[drive]->Gone(); }

    bool AnyDue() {
        uint64_t now = clock.ElapsedMs();
        for (uint64_t d : deadlines)
            if (d <= now) return true;
        return false;
    }
};

EmulatedDevicePort::EmulatedDevicePort(std::vector<EmulatedDriveSpec> specs, ClockPort& clock)
    : impl_(std::make_unique<Impl>(clock)) {
    for (EmulatedDriveSpec& s : specs)
        impl_->drives.push_back(std::make_unique<EmulatedDrive>(std::move(s)));
    impl_->opens.assign(impl_->drives.size(), 0);
}

EmulatedDevicePort::~EmulatedDevicePort() {
    // A worker still held by a hang must let go before the drives disappear.
    CloseCalls([this] {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->closing = true;
        impl_->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->cv.wait(lock, [this] { return impl_->deadlines.empty(); });
}

std::vector<DeviceNode> EmulatedDevicePort::ListNodes(NodeClass cls) {
    std::vector<DeviceNode> nodes;
    for (size_t i = 0; i < impl_->drives.size(); ++i)
        if (!impl_->Gone(i)) nodes.push_back(impl_->NodeOf(i, cls));
    return nodes;
}

bool EmulatedDevicePort::Describe(const std::string& path, NodeClass cls, DeviceNode& node) {
    int index = NodeIndex(path, kBlockPrefix);
    if (index < 0) index = NodeIndex(path, kGenericPrefix);
    if (index < 0 || static_cast<size_t>(index) >= impl_->drives.size()) return false;
    if (impl_->Gone(static_cast<size_t>(index))) return false;
    node = impl_->NodeOf(static_cast<size_t>(index), cls);
    return true;
}

std::string EmulatedDevicePort::WhyNoNode(const std::string& path, NodeClass cls) {
    DeviceNode node;
    const char* prefix = cls == NodeClass::Block ? kBlockPrefix : kGenericPrefix;
    if (Describe(path, NodeClass::Block, node)) return "";
    int index = NodeIndex(path, kBlockPrefix);
    if (index < 0) index = NodeIndex(path, kGenericPrefix);
    if (index >= 0 && static_cast<size_t>(index) < impl_->drives.size())
        return "the emulated drive there is gone";
    return "no emulated drive has this node (" + std::string(prefix) + "0 to " + prefix +
           std::to_string(impl_->drives.size() - 1) + ")";
}

int EmulatedDevicePort::Open(const std::string& path, int& err) {
    NodeClass cls = NodeClass::Block;
    int index = NodeIndex(path, kBlockPrefix);
    if (index < 0) {
        index = NodeIndex(path, kGenericPrefix);
        cls = NodeClass::Generic;
    }
    if (index < 0 || static_cast<size_t>(index) >= impl_->drives.size()) {
        err = ENOENT;
        return -1;
    }
    std::lock_guard<std::mutex> lock(impl_->mu);
    const size_t drive = static_cast<size_t>(index);
    const int busyFrom = impl_->drives[drive]->Spec().busyFromOpen;
    if (impl_->Gone(drive)) {
        err = ENXIO;  // the node's device number names nothing any more
        return -1;
    }
    if (busyFrom > 0 && ++impl_->opens[drive] >= busyFrom) {
        err = EBUSY;
        return -1;
    }
    int handle = impl_->nextHandle++;
    impl_->handles[handle] = Impl::Handle{static_cast<size_t>(index), cls};
    err = 0;
    return handle;
}

int EmulatedDevicePort::Duplicate(int handle, int& err) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->handles.find(handle);
    if (it == impl_->handles.end()) {
        err = EBADF;
        return -1;
    }
    int dup = impl_->nextHandle++;
    impl_->handles[dup] = it->second;
    err = 0;
    return dup;
}

void EmulatedDevicePort::Close(int handle) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->handles.erase(handle);
}

int EmulatedDevicePort::SgIo(int handle, sg_io_hdr_t& hdr, int& err) {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> lock(m.mu);
    Impl::Handle* h = m.Accept(handle, hdr, err);
    if (!h) return -1;
    Pending p;
    if (!m.Gone(h->drive)) m.Run(h->drive, hdr, p);
    if (m.Gone(h->drive)) {
        err = ENODEV;
        return -1;
    }
    const uint64_t now = m.clock.ElapsedMs();
    if (!p.hung && p.readyAtMs <= now) {
        Impl::Deliver(p, hdr);
        return 0;
    }

    // The call returns when the drive completes or the kernel gives up, whichever comes first.
    uint32_t timeout = hdr.timeout ? hdr.timeout : kDefaultTimeoutMs;
    uint64_t deadline = now + timeout;
    const bool completes = !p.hung && p.readyAtMs <= deadline;
    if (completes) deadline = p.readyAtMs;
    if (std::this_thread::get_id() == m.owner) {
        // Nobody else moves the clock: this thread lets the time pass itself.
        lock.unlock();
        m.clock.SleepMs(static_cast<uint32_t>(deadline - now));
        lock.lock();
    } else {
        m.deadlines.push_back(deadline);
        // CallDue wakes the wait when a virtual clock moves; the short period covers a clock
        // that moves on its own.
        while (!m.closing && m.clock.ElapsedMs() < deadline)
            m.cv.wait_for(lock, std::chrono::milliseconds(5));
        m.deadlines.erase(std::find(m.deadlines.begin(), m.deadlines.end(), deadline));
        m.cv.notify_all();
        if (m.clock.ElapsedMs() < deadline) {  // the port is going away
            err = ENODEV;
            return -1;
        }
    }
    if (completes) {
        Impl::Deliver(p, hdr);
        return 0;
    }
    Impl::TimedOut(hdr, timeout);
    return 0;
}

int EmulatedDevicePort::Submit(int handle, sg_io_hdr_t& hdr, int& err) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.mu);
    Impl::Handle* h = m.Accept(handle, hdr, err);
    if (!h) return -1;
    if (m.Gone(h->drive)) {
        err = ENODEV;
        return -1;
    }
    Pending p;
    m.Run(h->drive, hdr, p);
    h->queue->push_back(std::move(p));
    return 0;
}

int EmulatedDevicePort::Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> lock(m.mu);
    auto it = m.handles.find(handle);
    if (it == m.handles.end()) {
        err = EBADF;
        return -1;
    }
    err = 0;
    std::deque<Pending>& q = *it->second.queue;
    const uint64_t now = m.clock.ElapsedMs();
    auto ready = std::find_if(q.begin(), q.end(), [now](const Pending& p) {
        return p.vanished || (!p.hung && p.readyAtMs <= now);
    });
    if (ready != q.end()) {
        Impl::Deliver(*ready, hdr);
        q.erase(ready);
        return 1;
    }
    if (m.Gone(it->second.drive)) {
        err = ENODEV;
        return -1;
    }
    if (timeoutMs > 0) {
        lock.unlock();
        m.clock.SleepMs(static_cast<uint32_t>(timeoutMs));
    }
    return 0;
}

int EmulatedDevicePort::SetReservedSize(int handle, int bytes, int& err) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->handles.count(handle)) {
        err = EBADF;
        return -1;
    }
    if (bytes < 0) {
        err = EINVAL;
        return -1;
    }
    err = 0;
    return std::min(bytes, static_cast<int>(kMaxTransfer));
}

uint32_t EmulatedDevicePort::MaxTransferBytes(int handle) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->handles.count(handle) ? kMaxTransfer : 0;
}

bool EmulatedDevicePort::CallDue() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    bool due = impl_->AnyDue();
    if (due) impl_->cv.notify_all();
    return due;
}

bool EmulatedDevicePort::CallWaiting() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    uint64_t now = impl_->clock.ElapsedMs();
    for (uint64_t d : impl_->deadlines)
        if (d > now) return true;
    return false;
}

size_t EmulatedDevicePort::DriveCount() const {
    return impl_->drives.size();
}

EmulatedDrive& EmulatedDevicePort::Drive(size_t index) {
    return *impl_->drives.at(index);
}
