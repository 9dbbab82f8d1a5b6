#include "scsi/aspi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "scsi/held_drive.h"
#include "scsi/kernel_notes.h"
#include "scsi/sg_request.h"
#include "system/runtime.h"

namespace {

constexpr int kTargets = 7;  // 0 to 6: the adapter's own id 7 is never examined
constexpr int kLuns = 255;
constexpr size_t kInquiryBuffer = 1024;

// Milliseconds left until a tick deadline; the system timer wraps.
int32_t Remaining(uint32_t deadlineTick) {
    return static_cast<int32_t>(deadlineTick - rt().clock->TickMs());
}

using Adapter = std::pair<int, int>;  // (host, channel)

}  // namespace

AspiBackend::~AspiBackend() {
    CloseNode();
}

int AspiBackend::Load() {
    if (rt().devices && rt().devices->GenericDriverPresent()) return 1;
    Note(
        "the SCSI generic driver (sg) is not loaded: the kernel lists no /sys/class/scsi_generic, "
        "so there are no /dev/sgN nodes. Load it with `sudo modprobe sg` (at every start: `echo "
        "sg | sudo tee /etc/modules-load.d/sg.conf`), or use --transport=sr.");
    ShowMessage("WNASPI32.DLL Not Found");
    return 0;
}

void AspiBackend::Unload() {
    CloseNode();
}

void AspiBackend::CloseNode() {
    if (fd_ >= 0 && rt().devices) rt().devices->Close(fd_);
    fd_ = -1;
    outstanding_ = false;
}

void AspiBackend::Abandon() {
    outstanding_ = false;
    if (fd_ < 0 || !rt().devices) return;
    rt().devices->Close(fd_);
    int err = 0;
    std::string busy;
    fd_ = rt().devices->OpenExclusive(nodePath_, err, busy);
    if (fd_ >= 0) rt().devices->SetReservedSize(fd_, kReservedSize, err);
}

bool AspiBackend::WaitIdle() {
    if (!outstanding_) return false;
    Abandon();
    return true;
}

int AspiBackend::Wait(int handle, uint32_t deadlineTick, int& err) {
    DevicePort* port = rt().devices;
    for (;;) {
        int32_t left = Remaining(deadlineTick);
        if (left <= 0) return 0;
        err = 0;
        int r = port->Collect(handle, hdr_, left, err);
        if (r != 0) return r > 0 ? 1 : -1;
    }
}

int AspiBackend::ListInquiry(const DeviceNode& node, uint8_t* buffer) {
    DevicePort* port = rt().devices;
    const std::string& path = node.path;
    int err = 0;
    int fd = port->Open(path, err);
    if (fd < 0) {
        // Only a CD/DVD node is worth a word: users seldom may open their disks' nodes.
        if (node.type == 5 || node.type < 0) NoteOpenFailure(path, err, true);
        return 0;  // cannot reach it: like an error status, go on with the next LUN
    }
    std::memset(buffer, 0, kInquiryBuffer);  // a short answer must not keep an earlier tail
    std::memset(sense_, 0, sizeof sense_);
    std::memset(cdbArea_, 0, sizeof cdbArea_);
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 0xFF, 0};
    std::memcpy(cdbArea_, inquiry, sizeof inquiry);
    std::memset(&hdr_, 0, sizeof hdr_);
    hdr_.interface_id = 'S';
    hdr_.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr_.cmd_len = 6;
    hdr_.mx_sb_len = 16;
    hdr_.dxfer_len = kInquiryBuffer;
    hdr_.dxferp = buffer;
    hdr_.cmdp = cdbArea_;
    hdr_.sbp = sense_;
    hdr_.timeout = kListDeadlineMs;
    hdr_.pack_id = ++packId_;
    int result = 0;
    if (port->Submit(fd, hdr_, err) >= 0) {
        uint32_t deadline = rt().clock->TickMs() + kListDeadlineMs;
        int r = Wait(fd, deadline, err);
        if (r == 0)
            result = -1;
        else if (r > 0)
            result = (SgTransportOk(0, hdr_) && hdr_.status == 0) ? 1 : 0;
        SentCommand seen = SgSeen(hdr_, r > 0 ? 0 : -1);
        seen.err = r < 0 ? err : 0;
        seen.gaveUp = r == 0;
        seen.timeoutMs = kListDeadlineMs;
        ReportCommand(seen, 1, nullptr, result == 1 ? 1 : 0, path);
    }
    port->Close(fd);  // an unanswered request is orphaned with the handle
    return result;
}

int AspiBackend::Enumerate(int capacity, DriveRecord* table) {
    DevicePort* port = rt().devices;
    if (!port || !rt().clock) return -1;
    WaitIdle();
    state_ = kPending;

    std::vector<DeviceNode> all = port->ListNodes(NodeClass::Generic);
    std::vector<Adapter> adapters;
    for (const DeviceNode& n : all) adapters.emplace_back(n.host, n.channel);
    std::sort(adapters.begin(), adapters.end());
    adapters.erase(std::unique(adapters.begin(), adapters.end()), adapters.end());
    haCount_ = static_cast<int>(adapters.size());
    auto adapterId = [&](const DeviceNode& n) {
        auto it = std::lower_bound(adapters.begin(), adapters.end(), Adapter(n.host, n.channel));
        return static_cast<uint8_t>(it - adapters.begin());
    };

    std::vector<uint8_t> buffer(kInquiryBuffer);
    int count = 0;
    // Returns false when the scan must end (no answer by the deadline).
    auto examine = [&](const DeviceNode& n, bool& full) {
        int r = ListInquiry(n, buffer.data());
        if (r < 0) return false;
        if (r == 1 && buffer[0] == 5) {
            if (count >= capacity) {
                full = true;
                return true;
            }
            DriveRecord& d = table[count];
            d = DriveRecord{};
            d.adapterId = adapterId(n);
            d.targetId = static_cast<uint8_t>(n.target);
            d.lun = static_cast<uint8_t>(n.lun);
            char label[8];
            std::snprintf(label, sizeof label, "%-2d", count);
            d.label[0] = label[0];
            d.label[1] = label[1];
            std::memcpy(d.inquiry, buffer.data(), sizeof d.inquiry);
            d.inquiryEnd = 0;
            d.node = n.path;
            d.host = n.host;
            d.channel = n.channel;
            d.target = n.target;
            d.lunNumber = n.lun;
            ++count;
        }
        return true;
    };

    if (!rt().deviceFilter.empty()) {
        std::vector<std::string> seen;
        for (const std::string& path : rt().deviceFilter) {
            DeviceNode n;
            if (!port->Describe(path, NodeClass::Generic, n)) {
                NoteIgnoredDevice(path, port->WhyNoNode(path, NodeClass::Generic));
                continue;
            }
            if (std::find(seen.begin(), seen.end(), n.path) != seen.end()) continue;
            seen.push_back(n.path);
            if (!std::binary_search(adapters.begin(), adapters.end(), Adapter(n.host, n.channel))) {
                NoteIgnoredDevice(path, "the sg driver does not list " + n.path);
                continue;
            }
            bool full = false;
            if (!examine(n, full)) break;
        }
        return count;
    }

    // Address -> node, for the adapter/target/LUN walk.
    std::map<std::tuple<int, int, int, int>, const DeviceNode*> at;
    for (const DeviceNode& n : all) at[{n.host, n.channel, n.target, n.lun}] = &n;
    for (const Adapter& a : adapters) {
        for (int target = 0; target < kTargets; ++target) {
            auto first = at.lower_bound({a.first, a.second, target, 0});
            if (first == at.end() || first->first != std::make_tuple(a.first, a.second, target,
                                                                     std::get<3>(first->first)))
                continue;  // no device at this target: nothing is sent
            for (int lun = 0; lun < kLuns; ++lun) {
                auto it = at.find({a.first, a.second, target, lun});
                if (it == at.end()) continue;
                bool full = false;
                if (!examine(*it->second, full)) return count;
                if (full) break;
            }
        }
    }
    return count;
}

int AspiBackend::Open(DriveRecord& record) {
    CloseNode();
    std::memset(cdbArea_, 0, sizeof cdbArea_);
    std::memset(sense_, 0, sizeof sense_);
    state_ = kPending;
    maxTransfer_ = 0;
    reserved_ = 0;
    nodePath_ = record.node;
    watch_.Reset();
    openErr_ = ENODEV;
    heldBy_.clear();
    DevicePort* port = rt().devices;
    if (!port) return 0;
    int err = ENODEV;
    std::string busy;
    fd_ = port->OpenExclusive(nodePath_, err, busy);
    if (fd_ < 0) {
        SleepMs(kOpenRetryMs);
        err = ENODEV;
        fd_ = port->OpenExclusive(nodePath_, err, busy);
    }
    if (fd_ < 0) {
        openErr_ = err;
        char msg[64];
        std::snprintf(msg, sizeof msg, "CreateFile Err %d", err);
        NoteOpenFailure(err == EBUSY && !busy.empty() ? busy : nodePath_, err, false);
        ShowMessage(msg);
        if (err == EBUSY) heldBy_ = busy;
        return 0;
    }
    openErr_ = 0;
    reserved_ = port->SetReservedSize(fd_, kReservedSize, err);
    uint32_t queue = port->MaxTransferBytes(fd_);
    maxTransfer_ = queue ? queue : reserved_ > 0 ? static_cast<uint32_t>(reserved_) : 0;
    return 1;
}

bool AspiBackend::Close() {
    const bool abandoned = outstanding_;
    CloseNode();  // orphans a request still running: its reply is never read
    if (abandoned) {
        host_ = senseKey_ = asc_ = ascq_ = 0;
        state_ = kFailed;
    }
    return abandoned;
}

void AspiBackend::Finish(bool waiting) {
    bool ok = SgTransportOk(0, hdr_) && hdr_.status == 0;
    host_ = static_cast<uint8_t>(hdr_.host_status);
    SgSense(hdr_, sense_, senseKey_, asc_, ascq_);
    sent_.scsiStatus = hdr_.status;
    sent_.hostStatus = host_;
    sent_.senseKey = senseKey_;
    sent_.asc = asc_;
    sent_.ascq = ascq_;
    state_ = ok ? kComplete : kFailed;
    watch_.See(sent_);
    if (!ok && waiting) {
        lastCommandError.status = host_;
        lastCommandError.senseKey = senseKey_;
        lastCommandError.asc = asc_;
        lastCommandError.ascq = ascq_;
    }
}

void AspiBackend::Unreadable(int err) {
    sent_.err = err;
    watch_.See(sent_);
    Abandon();
    host_ = kHostError;
    senseKey_ = asc_ = ascq_ = 0;
    state_ = kFailed;
    sent_.hostStatus = host_;
}

int AspiBackend::Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                         uint8_t direction, int wait) {
    WaitIdle();
    int n = cdbLength == 0xFF ? CdbLengthForOpcode(cdb[0]) : cdbLength;
    if (n > 12) n = 12;
    uint8_t resolved = ResolveDirection(cdb[0], direction, length);

    // Only the command's own bytes replace the CDB area; the rest keeps what was there.
    std::memcpy(cdbArea_, cdb, static_cast<size_t>(n));
    std::memset(sense_, 0, sizeof sense_);
    std::memcpy(lastCommandError.cdb, cdbArea_, 12);
    SgPrepare(hdr_, cdbArea_, n, sense_, resolved, buffer, length, kKernelTimeoutMs);
    hdr_.pack_id = ++packId_;

    sent_ = SentCommand{};
    std::memcpy(sent_.cdb, cdbArea_, static_cast<size_t>(n));
    sent_.cdbLength = n;
    sent_.dir = DirectionName(resolved);
    sent_.length = hdr_.dxfer_len;
    sent_.timeoutMs = hdr_.timeout;

    DevicePort* port = rt().devices;
    int err = 0;
    // Refused before it started: nothing to report beyond the CDB. Nothing goes to a drive that
    // has vanished, nor to no drive at all.
    auto refused = [&](bool sent) {
        host_ = senseKey_ = asc_ = ascq_ = 0;
        state_ = kFailed;
        sent_.sent = sent;
        return 0;
    };
    if (watch_.Gone() || fd_ < 0 || !port) return refused(false);
    if (port->Submit(fd_, hdr_, err) < 0) {
        sent_.err = err;
        watch_.See(sent_);
        return refused(true);
    }
    state_ = kPending;
    if (!wait) {
        outstanding_ = true;
        return 1;
    }
    int r = Wait(fd_, rt().clock->TickMs() + kCommandDeadlineMs, err);
    if (r == 0) {
        std::memset(lastCommandError.bytes() + 12, 0xFF, 8);
        sent_.gaveUp = true;
        sent_.timeoutMs = kCommandDeadlineMs;
        Abandon();
        return 0;
    }
    if (r < 0) {
        Unreadable(err);
        lastCommandError.status = host_;
        return 0;
    }
    Finish(true);
    return state_ == kComplete ? 1 : 0;
}

int AspiBackend::Poll() {
    if (outstanding_) {
        int err = 0;
        int r = rt().devices->Collect(fd_, hdr_, 0, err);
        if (r == 0) return kPending;
        outstanding_ = false;
        if (r > 0)
            Finish(false);
        else
            Unreadable(err);
    }
    if (state_ == kFailed) {
        CommandErrorRecord& e = lastCommandError;
        e = CommandErrorRecord{};
        std::memcpy(e.cdb, cdbArea_, 12);
        e.status = host_;
        e.senseKey = senseKey_;
        e.asc = asc_;
        e.ascq = ascq_;
    }
    return state_;
}

uint32_t AspiBackend::MaxTransfer() {
    return fd_ >= 0 ? maxTransfer_ : 0;
}

bool AspiBackend::MaySendAnyCommand(std::string& why) {
    if (!heldBy_.empty()) {
        why = HeldDriveText(heldBy_, heldBy_ == nodePath_);
        return false;
    }
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
