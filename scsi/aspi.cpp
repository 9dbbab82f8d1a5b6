#include "scsi/aspi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "scsi/kernel_notes.h"
#include "system/runtime.h"

namespace {

constexpr int kTargets = 7;  // 0 to 6: the adapter's own id 7 is never examined
constexpr int kLuns = 255;
constexpr size_t kInquiryBuffer = 1024;

using Adapter = std::pair<int, int>;  // (host, channel)

std::vector<Adapter> AdaptersOf(const std::vector<DeviceNode>& nodes) {
    std::vector<Adapter> adapters;
    for (const DeviceNode& n : nodes) adapters.emplace_back(n.host, n.channel);
    std::sort(adapters.begin(), adapters.end());
    adapters.erase(std::unique(adapters.begin(), adapters.end()), adapters.end());
    return adapters;
}

}  // namespace

int WalkAdapters(const std::vector<DeviceNode>& nodes,
                 const std::function<Walk(const DeviceNode&, uint8_t adapter)>& visit) {
    const std::vector<Adapter> adapters = AdaptersOf(nodes);
    std::map<std::tuple<int, int, int, int>, const DeviceNode*> at;
    for (const DeviceNode& n : nodes) at[{n.host, n.channel, n.target, n.lun}] = &n;
    for (size_t a = 0; a < adapters.size(); ++a) {
        const auto [host, channel] = adapters[a];
        for (int target = 0; target < kTargets; ++target) {
            // A target or LUN without a node costs no command.
            for (auto it = at.lower_bound({host, channel, target, 0}); it != at.end(); ++it) {
                const auto [h, c, t, lun] = it->first;
                if (h != host || c != channel || t != target || lun >= kLuns) break;
                const Walk step = visit(*it->second, static_cast<uint8_t>(a));
                if (step == Walk::Stop) return static_cast<int>(adapters.size());
                if (step == Walk::NextTarget) break;
            }
        }
    }
    return static_cast<int>(adapters.size());
}

int AspiBackend::Load() {
    if (rt().devices && rt().devices->GenericDriverPresent()) return 1;
    ShowMessage("WNASPI32.DLL Not Found");
    Note(
        "the SCSI generic driver (sg) is not loaded: the kernel lists no /sys/class/scsi_generic, "
        "so there are no /dev/sgN nodes. Load it with `sudo modprobe sg` (at every start: `echo "
        "sg | sudo tee /etc/modules-load.d/sg.conf`), or use --transport=sr.");
    return 0;
}

void AspiBackend::CloseNode() {
    if (fd_ >= 0 && rt().devices) rt().devices->Close(fd_);  // orphans a request still running
    fd_ = -1;
    outstanding_ = false;
}

void AspiBackend::Abandon() {
    outstanding_ = false;
    DevicePort* port = rt().devices;
    if (fd_ < 0 || !port) return;
    port->Close(fd_);
    int err = 0;
    std::string held;
    fd_ = port->OpenExclusive(node_, err, held);
    if (fd_ >= 0) port->SetReservedSize(fd_, kReservedSize, err);
}

bool AspiBackend::Submit(int handle, const CommandRequest& r, CommandOutcome& o) {
    block_.Prepare(r);
    block_.hdr.pack_id = ++packId_;
    o.sent = true;
    return rt().devices->Submit(handle, block_.hdr, o.err) >= 0;
}

int AspiBackend::Carry(int handle, const CommandRequest& r, uint32_t deadlineMs,
                       CommandOutcome& o) {
    if (!Submit(handle, r, o)) return -1;
    const uint32_t deadline = rt().clock->TickMs() + deadlineMs;
    for (;;) {
        // Milliseconds left; the system timer wraps.
        const int32_t left = static_cast<int32_t>(deadline - rt().clock->TickMs());
        if (left <= 0) {
            o.gaveUpAfterMs = deadlineMs;
            return 0;
        }
        int err = 0;
        const int got = rt().devices->Collect(handle, block_.hdr, left, err);
        if (got > 0) {
            block_.Read(0, 0, o);
            return 1;
        }
        if (got < 0) {
            o.err = err;
            o.host = kHostError;
            return 0;
        }
    }
}

int AspiBackend::ListInquiry(const DeviceNode& node, uint8_t* buffer, CommandReport report) {
    DevicePort& port = *rt().devices;
    int err = 0;
    const int fd = port.Open(node.path, err);
    if (fd < 0) {
        // Only a CD/DVD node is worth a word: users seldom may open their disks' nodes.
        if (node.type == 5 || node.type < 0) NoteOpenFailure(node.path, err, true);
        return 0;  // cannot reach it: like an error status, go on with the next LUN
    }
    std::memset(buffer, 0, kInquiryBuffer);  // a short answer must not keep an earlier tail
    static const uint8_t kInquiry[6] = {0x12, 0, 0, 0, 0xFF, 0};
    const CommandRequest r{.cdb = kInquiry,
                           .cdbLength = sizeof kInquiry,
                           .direction = XFER_IN,
                           .data = buffer,
                           .length = kInquiryBuffer,
                           .timeoutMs = kListDeadlineMs};
    CommandOutcome o;
    int result = 0;
    if (Carry(fd, r, kListDeadlineMs, o) >= 0) {
        result = o.gaveUpAfterMs ? -1 : o.Delivered() && o.status == 0 ? 1 : 0;
        report(r, o, result == 1 ? 1 : 0, node.path);
    }
    port.Close(fd);  // an unanswered request is orphaned with the handle
    return result;
}

int AspiBackend::Enumerate(int capacity, DriveRecord* table, CommandReport report) {
    DevicePort* port = rt().devices;
    if (!port || !rt().clock) return 0;
    const std::vector<DeviceNode> all = port->ListNodes(NodeClass::Generic);
    std::vector<uint8_t> buffer(kInquiryBuffer);
    int count = 0;
    auto examine = [&](const DeviceNode& n, uint8_t adapter) {
        const int r = ListInquiry(n, buffer.data(), report);
        if (r < 0) return Walk::Stop;  // no answer by the deadline ends the scan
        if (r == 0 || buffer[0] != 5) return Walk::Next;
        if (count >= capacity) return Walk::NextTarget;
        DriveRecord& d = table[count];
        FillRecord(d, n, count, buffer.data());
        d.adapterId = adapter;
        d.targetId = static_cast<uint8_t>(n.target);
        d.lun = static_cast<uint8_t>(n.lun);
        ++count;
        return Walk::Next;
    };
    if (rt().deviceFilter.empty()) {
        WalkAdapters(all, examine);
        return count;
    }
    const std::vector<Adapter> adapters = AdaptersOf(all);
    for (const DeviceNode& n : GivenNodes(*port, NodeClass::Generic)) {
        auto a = std::lower_bound(adapters.begin(), adapters.end(), Adapter(n.host, n.channel));
        if (a == adapters.end() || *a != Adapter(n.host, n.channel))
            NoteIgnoredDevice(n.path, "the sg driver does not list " + n.path);
        else if (examine(n, static_cast<uint8_t>(a - adapters.begin())) == Walk::Stop)
            break;
    }
    return count;
}

int AspiBackend::Open(const std::string& node, int& err, std::string& held) {
    CloseNode();
    node_ = node;
    maxTransfer_ = 0;
    DevicePort* port = rt().devices;
    fd_ = port ? port->OpenExclusive(node, err, held) : -1;
    if (fd_ < 0) {
        openErr_ = err;
        return -1;
    }
    openErr_ = 0;
    const int reserved = port->SetReservedSize(fd_, kReservedSize, err);
    const uint32_t queue = port->MaxTransferBytes(fd_);
    maxTransfer_ = queue ? queue : reserved > 0 ? static_cast<uint32_t>(reserved) : 0;
    return fd_;
}

void AspiBackend::Execute(const CommandRequest& r, CommandOutcome& o) {
    if (fd_ < 0 || !rt().devices) return;
    if (Carry(fd_, r, kCommandDeadlineMs, o) == 0) Abandon();
}

bool AspiBackend::Start(const CommandRequest& r, CommandOutcome& o) {
    if (fd_ < 0 || !rt().devices) return false;
    outstanding_ = Submit(fd_, r, o);
    return outstanding_;
}

bool AspiBackend::Poll(CommandOutcome& o) {
    if (!outstanding_) return false;
    int err = 0;
    const int got = rt().devices->Collect(fd_, block_.hdr, 0, err);
    if (got == 0) return false;
    outstanding_ = false;
    o.sent = true;
    if (got > 0) {
        block_.Read(0, 0, o);
        return true;
    }
    o.err = err;
    o.host = kHostError;
    Abandon();
    return true;
}

bool AspiBackend::Finish(CommandOutcome&) {
    if (outstanding_) Abandon();
    return false;
}

bool AspiBackend::MaySendAnyCommand(std::string& why) {
    // A node that did not open for another reason has had its message; the procedure's first
    // command fails on it.
    if (fd_ < 0 && openErr_ != 0 && openErr_ != EACCES && openErr_ != EPERM) return true;
    if (fd_ < 0) {
        why =
            "The drive's SCSI generic node (/dev/sgN) is not open read-write. Give the user "
            "read-write access to it (for example membership of its group), or run as root.";
        return false;
    }
    if (rt().devices->MaySendAnyCommand(NodeClass::Generic)) return true;
    why = "WRITE BUFFER and vendor commands cannot be sent through the SCSI generic node.";
    return false;
}
