// Adapter/target/LUN back end (--transport=sg): SCSI generic nodes /dev/sgN, commands through the
// sg driver's asynchronous interface (submit, then collect).
//
// Adapters: every distinct (SCSI host, channel) pair that has a generic node is one adapter,
// numbered from 0 in ascending (host, channel) order; `adapterId` is that number and HA_Count
// their count. A host with two channels thus shows as two adapters. Targets 0 to 6 and LUNs 0 to
// 254 are scanned; a target without any node is skipped without a command, and so is a LUN
// without a node on a target that has others (where an adapter manager would have answered with
// a "no such LUN" INQUIRY).
//
// A request that gets no answer in time, or whose answer cannot be read, is dropped by opening
// the node afresh: its late reply then never lands in a buffer that may be gone.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <tuple>

#include "scsi/kernel_notes.h"
#include "scsi/linux_backends.h"
#include "system/runtime.h"

namespace {

constexpr int kTargets = 7;  // 0 to 6: the adapter's own id 7 is never examined
constexpr int kLuns = 255;
constexpr size_t kInquiryBuffer = 1024;
constexpr uint32_t kListDeadlineMs = 20000;
constexpr uint32_t kCommandDeadlineMs = 180000;
// The largest transfers are 256 KiB; a page more keeps odd lengths in the reserved buffer.
constexpr int kReservedSize = 262144 + 4096;
constexpr uint8_t kHostError = 0x07;  // DID_ERROR: the reply could not be read

using Adapter = std::pair<int, int>;  // (host, channel)

std::vector<Adapter> AdaptersOf(const std::vector<DeviceNode>& nodes) {
    std::vector<Adapter> adapters;
    for (const DeviceNode& n : nodes) adapters.emplace_back(n.host, n.channel);
    std::sort(adapters.begin(), adapters.end());
    adapters.erase(std::unique(adapters.begin(), adapters.end()), adapters.end());
    return adapters;
}

class AspiBackend : public Backend {
  public:
    ~AspiBackend() override { Close(); }

    int Load() override {
        if (rt().devices && rt().devices->GenericDriverPresent()) return 1;
        Note(
            "the SCSI generic driver (sg) is not loaded: the kernel lists no "
            "/sys/class/scsi_generic, so there are no /dev/sgN nodes. Load it with `sudo modprobe "
            "sg` (at every start: `echo sg | sudo tee /etc/modules-load.d/sg.conf`), or use "
            "--transport=sr.");
        ShowMessage("WNASPI32.DLL Not Found");
        return 0;
    }
    void Unload() override { Close(); }

    int Enumerate(int capacity, DriveRecord* table, CommandReport report) override {
        DevicePort* port = rt().devices;
        if (!port || !rt().clock) return 0;
        const std::vector<DeviceNode> all = port->ListNodes(NodeClass::Generic);
        std::vector<uint8_t> buffer(kInquiryBuffer);
        int count = 0;
        auto examine = [&](const DeviceNode& n, uint8_t adapter) {
            const int r = ListInquiry(*port, n, buffer.data(), report);
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
        for (const DeviceNode& n : ListedNodes(*port, NodeClass::Generic)) {
            const Adapter a(n.host, n.channel);
            auto at = std::lower_bound(adapters.begin(), adapters.end(), a);
            if (at == adapters.end() || *at != a)
                NoteIgnoredDevice(n.path, "the sg driver does not list " + n.path);
            else if (examine(n, static_cast<uint8_t>(at - adapters.begin())) == Walk::Stop)
                break;
        }
        return count;
    }

    int Open(const std::string& node, int& err, std::string& held) override {
        Close();
        node_ = node;
        return OpenNode(err, held);
    }

    void Close() override {
        if (fd_ >= 0 && rt().devices) rt().devices->Close(fd_);  // orphans a running request
        fd_ = -1;
        outstanding_ = false;
    }

    void Execute(const CommandRequest& r, CommandOutcome& o) override {
        if (fd_ >= 0 && rt().devices && Carry(fd_, r, kCommandDeadlineMs, o) == 0) Abandon();
    }

    bool Start(const CommandRequest& r, CommandOutcome& o) override {
        if (fd_ < 0 || !rt().devices) return false;
        outstanding_ = Submit(fd_, r, o);
        return outstanding_;
    }

    bool Poll(CommandOutcome& o) override {
        if (!outstanding_) return false;
        int err = 0;
        const int got = rt().devices->Collect(fd_, block_.hdr, 0, err);
        if (got == 0) return false;
        outstanding_ = false;
        if (!Collected(got, err, o)) Abandon();
        return true;
    }

    // The next request does not wait for one still running: that one is dropped.
    bool Finish(CommandOutcome&) override {
        if (outstanding_) Abandon();
        return false;
    }

    uint32_t MaxTransfer() override { return fd_ >= 0 ? maxTransfer_ : 0; }
    bool MaySendAnyCommand(std::string& why) override {
        // A node that did not open for another reason has had its message; the procedure's
        // first command fails on it.
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

  private:
    // Submits the request on `handle`; false, with the outcome saying why, when refused.
    bool Submit(int handle, const CommandRequest& r, CommandOutcome& o) {
        block_.Prepare(r);
        block_.hdr.pack_id = ++packId_;
        o.sent = true;
        return rt().devices->Submit(handle, block_.hdr, o.err) >= 0;
    }

    // Submits and waits up to `deadlineMs` for the answer: -1 refused, 0 none came or it could
    // not be read (the request is still in the driver), 1 answered.
    int Carry(int handle, const CommandRequest& r, uint32_t deadlineMs, CommandOutcome& o) {
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
            if (got != 0) return Collected(got, err, o);
        }
    }

    // A reply collected (1), or one that could not be read (0: the request is still in the
    // driver, reported as a host error).
    int Collected(int got, int err, CommandOutcome& o) {
        if (got > 0) {
            block_.Read(0, 0, o);
            return 1;
        }
        o.err = err;
        o.host = kHostError;
        return 0;
    }

    // One INQUIRY at listing: 1 answered (buffer filled), 0 failed, -1 no answer in time.
    int ListInquiry(DevicePort& port, const DeviceNode& node, uint8_t* buffer,
                    CommandReport report) {
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

    int OpenNode(int& err, std::string& held) {
        DevicePort* port = rt().devices;
        fd_ = port ? port->OpenExclusive(node_, err, held) : -1;
        openErr_ = fd_ < 0 ? err : 0;
        if (fd_ < 0) return -1;
        const int reserved = port->SetReservedSize(fd_, kReservedSize, err);
        const uint32_t queue = port->MaxTransferBytes(fd_);
        maxTransfer_ = queue ? queue : reserved > 0 ? static_cast<uint32_t>(reserved) : 0;
        return fd_;
    }

    // Drops a request nobody will collect: opening the node afresh orphans it, so its reply
    // never lands in a buffer that may be gone.
    void Abandon() {
        if (fd_ < 0) return;
        Close();
        int err = 0;
        std::string held;
        OpenNode(err, held);
    }

    int fd_ = -1;
    int openErr_ = 0;  // why the last Open failed
    std::string node_;
    bool outstanding_ = false;
    uint32_t maxTransfer_ = 0;
    SgBlock block_;
    int packId_ = 0;
};

}  // namespace

int WalkAdapters(const std::vector<DeviceNode>& nodes,
                 const std::function<Walk(const DeviceNode&, uint8_t adapter)>& visit) {
    const std::vector<Adapter> adapters = AdaptersOf(nodes);
    std::map<std::tuple<int, int, int, int>, const DeviceNode*> at;  // in address order
    for (const DeviceNode& n : nodes) at[{n.host, n.channel, n.target, n.lun}] = &n;
    for (auto it = at.begin(); it != at.end(); ++it) {
        const auto [host, channel, target, lun] = it->first;
        if (target < 0 || target >= kTargets || lun < 0 || lun >= kLuns) continue;
        const auto adapter =
            std::lower_bound(adapters.begin(), adapters.end(), Adapter(host, channel));
        const Walk step = visit(*it->second, static_cast<uint8_t>(adapter - adapters.begin()));
        if (step == Walk::Stop) break;
        if (step == Walk::NextTarget)
            it = std::prev(at.upper_bound({host, channel, target, INT_MAX}));
    }
    return static_cast<int>(adapters.size());
}

std::unique_ptr<Backend> MakeAspiBackend() {
    return std::make_unique<AspiBackend>();
}
