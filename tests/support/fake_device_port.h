// A scriptable device port: nodes, links, and the kernel's answers to SG_IO and to the sg
// asynchronous interface, recorded as they arrive. For tests of the Linux back ends.
#pragma once

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "system/ports.h"

// What the kernel made of one request.
struct FakeAnswer {
    int callResult = 0;  // -1 fails the call with err: the SG_IO ioctl, or the read of the reply
    int err = EIO;
    bool refuse = false;  // Submit: -1 with err
    uint8_t status = 0;
    uint16_t host = 0, driver = 0;
    std::vector<uint8_t> sense;  // written to sbp, up to mx_sb_len
    int senseLengthSaid = -1;    // sb_len_wr when it is not what was written (a lying port)
    std::vector<uint8_t> data;   // written to dxferp for transfers from the device
    bool hang = false;           // async: no reply until another request is submitted
    int notReady = 0;            // async: Collect without waiting sees nothing this many times
};

inline FakeAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    FakeAnswer a;
    a.status = 0x02;
    a.driver = 0x08;  // DRIVER_SENSE
    a.sense.assign(18, 0);
    a.sense[0] = 0x70;
    a.sense[2] = key;
    a.sense[7] = 10;
    a.sense[12] = asc;
    a.sense[13] = ascq;
    return a;
}

// What reached the kernel.
struct FakeSent {
    std::string path;
    int handle = -1;
    bool async = false;
    char interfaceId = 0;
    int dxferDirection = 0;
    int cmdLen = 0;
    std::vector<uint8_t> cdb;
    uint32_t dxferLen = 0;
    void* dxferp = nullptr;
    unsigned timeout = 0;
    int mxSbLen = 0;
};

struct FakeNode {
    DeviceNode node;
    NodeClass cls = NodeClass::Block;
    std::vector<uint8_t> inquiry;  // answer to INQUIRY
    int openFailures = 0;          // this many opens fail before one works (-1: always)
    int openErr = EACCES;
};

class FakeDevicePort : public DevicePort {
  public:
    explicit FakeDevicePort(ClockPort* clock = nullptr) : clock_(clock) {}
    // Like the kernel, lets a held call return before the port goes.
    ~FakeDevicePort() override {
        CloseCalls([this] {
            std::lock_guard<std::mutex> l(mu_);
            holdNext_ = held_ = false;
            cv_.notify_all();
        });
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait(l, [&] { return inside_ == 0; });
    }

    std::vector<FakeNode> nodes;
    std::map<std::string, std::string> links;  // other name -> node path
    bool genericPresent = true;
    bool mayAny = true;
    uint32_t maxTransfer = 0;
    bool callDue = false;
    bool callWaiting = false;
    int duplicateErr = 0;  // Duplicate fails with this errno when set
    // Answers: the queue first, then the responder, then INQUIRY data or plain success.
    std::deque<FakeAnswer> queue;
    std::function<FakeAnswer(const FakeSent&)> responder;

    // Records (guarded: a worker thread may add to them).
    std::vector<FakeSent> sent;
    std::vector<std::string> opened;  // every open attempt's path
    std::vector<std::string> held;    // the paths of those that were to hold the drive
    // An exclusive open of the path fails with EBUSY: another program holds this node.
    std::map<std::string, std::string> heldElsewhere;
    // "open N", "dup N M", "close N", "sgio-begin N", "sgio-end N"
    std::vector<std::string> events;
    std::vector<int> reservedAsked;
    int orphaned = 0;

    static std::vector<uint8_t> Inquiry(uint8_t type, const std::string& identity) {
        std::vector<uint8_t> v(96, 0);
        v[0] = type;
        v[4] = 91;
        std::memset(v.data() + 8, ' ', 28);
        std::memcpy(v.data() + 8, identity.data(), std::min<size_t>(identity.size(), 28));
        for (size_t i = 36; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i);
        return v;
    }
    FakeNode& AddBlock(int index, uint8_t type = 5, const std::string& identity = "") {
        return Add(NodeClass::Block, "/dev/sr", index, index, 0, 0, 0, type, identity);
    }
    FakeNode& AddGeneric(int index, int host, int channel, int target, int lun, uint8_t type = 5,
                         const std::string& identity = "") {
        return Add(NodeClass::Generic, "/dev/sg", index, host, channel, target, lun, type,
                   identity);
    }

    // Holds the next SG_IO call until Release, as the kernel holds a command the drive has not
    // finished (for worker tests); calls after it pass.
    void Hold() {
        std::lock_guard<std::mutex> l(mu_);
        holdNext_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> l(mu_);
            holdNext_ = held_ = false;
        }
        cv_.notify_all();
    }
    int InCall() {
        std::lock_guard<std::mutex> l(mu_);
        return inCall_;
    }
    std::vector<FakeSent> Sent() {
        std::lock_guard<std::mutex> l(mu_);
        return sent;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> l(mu_);
        return events;
    }

    std::vector<DeviceNode> ListNodes(NodeClass cls) override {
        std::vector<DeviceNode> v;
        for (const FakeNode& n : nodes)
            if (n.cls == cls) v.push_back(n.node);
        std::sort(v.begin(), v.end(),
                  [](const DeviceNode& a, const DeviceNode& b) { return a.index < b.index; });
        return v;
    }
    bool Describe(const std::string& path, NodeClass cls, DeviceNode& node) override {
        const FakeNode* n = Find(path);
        if (!n || n->cls != cls) return false;
        node = n->node;
        return true;
    }
    bool GenericDriverPresent() override { return genericPresent; }
    int Open(const std::string& path, int& err) override {
        std::lock_guard<std::mutex> l(mu_);
        opened.push_back(path);
        FakeNode* n = Find(path);
        if (!n) {
            err = ENOENT;
            return -1;
        }
        if (n->openFailures != 0) {
            if (n->openFailures > 0) --n->openFailures;
            err = n->openErr;
            return -1;
        }
        int h = nextHandle_++;
        open_[h] = n;
        events.push_back("open " + std::to_string(h));
        return h;
    }
    int OpenExclusive(const std::string& path, int& err, std::string& busy) override {
        {
            std::lock_guard<std::mutex> l(mu_);
            held.push_back(path);
            auto it = heldElsewhere.find(path);
            if (it != heldElsewhere.end()) {
                opened.push_back(path);
                err = EBUSY;
                busy = it->second;
                return -1;
            }
        }
        busy = path;
        return Open(path, err);
    }
    void Close(int handle) override {
        std::lock_guard<std::mutex> l(mu_);
        events.push_back("close " + std::to_string(handle));
        open_.erase(handle);
        auto it = pending_.find(handle);
        if (it != pending_.end()) {
            orphaned += static_cast<int>(it->second.size());
            pending_.erase(it);
        }
    }
    int Duplicate(int handle, int& err) override {
        std::lock_guard<std::mutex> l(mu_);
        auto it = open_.find(handle);
        if (it == open_.end() || duplicateErr) {
            err = duplicateErr ? duplicateErr : EBADF;
            return -1;
        }
        int h = nextHandle_++;
        open_[h] = it->second;
        events.push_back("dup " + std::to_string(handle) + " " + std::to_string(h));
        return h;
    }
    int SgIo(int handle, sg_io_hdr_t& hdr, int& err) override {
        std::unique_lock<std::mutex> l(mu_);
        ++inside_;
        int r = SgIoLocked(l, handle, hdr, err);
        --inside_;
        cv_.notify_all();
        return r;
    }
    int Submit(int handle, sg_io_hdr_t& hdr, int& err) override {
        std::lock_guard<std::mutex> l(mu_);
        auto it = open_.find(handle);
        if (it == open_.end()) {
            err = EBADF;
            return -1;
        }
        FakeSent s = Record(it->second, handle, hdr, true);
        FakeAnswer a = AnswerFor(*it->second, s);
        if (a.refuse) {
            err = a.err;
            return -1;
        }
        auto& q = pending_[handle];
        for (Pending& p : q) p.answer.hang = false;  // a late reply turns up now
        q.push_back({hdr, a});
        return 0;
    }
    int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) override {
        std::unique_lock<std::mutex> l(mu_);
        if (!open_.count(handle)) {
            err = EBADF;
            return -1;
        }
        auto& q = pending_[handle];
        if (q.empty() || q.front().answer.hang ||
            (timeoutMs == 0 && q.front().answer.notReady > 0)) {
            if (!q.empty() && timeoutMs == 0 && q.front().answer.notReady > 0)
                --q.front().answer.notReady;
            l.unlock();
            if (timeoutMs > 0 && clock_) clock_->SleepMs(static_cast<uint32_t>(timeoutMs));
            return 0;
        }
        Pending p = q.front();
        q.pop_front();
        if (p.answer.callResult != 0) {
            err = p.answer.err;
            return -1;
        }
        Complete(p.request, hdr, p.answer);
        return 1;
    }
    int SetReservedSize(int, int bytes, int&) override {
        std::lock_guard<std::mutex> l(mu_);
        reservedAsked.push_back(bytes);
        return bytes;
    }
    uint32_t MaxTransferBytes(int) override { return maxTransfer; }
    bool MaySendAnyCommand(NodeClass) override { return mayAny; }
    bool CallDue() override { return callDue; }
    bool CallWaiting() override { return callWaiting; }

  private:
    int SgIoLocked(std::unique_lock<std::mutex>& l, int handle, sg_io_hdr_t& hdr, int& err) {
        ++inCall_;
        events.push_back("sgio-begin " + std::to_string(handle));
        if (holdNext_) {
            holdNext_ = false;
            held_ = true;
            cv_.wait(l, [&] { return !held_; });
        }
        --inCall_;
        events.push_back("sgio-end " + std::to_string(handle));
        auto it = open_.find(handle);
        if (it == open_.end()) {
            err = EBADF;
            return -1;
        }
        FakeSent s = Record(it->second, handle, hdr, false);
        FakeAnswer a = AnswerFor(*it->second, s);
        if (a.callResult != 0) {
            err = a.err;
            return -1;
        }
        Complete(hdr, hdr, a);
        return 0;
    }

    FakeNode& Add(NodeClass cls, const char* prefix, int index, int host, int channel, int target,
                  int lun, uint8_t type, const std::string& identity) {
        FakeNode n;
        n.node.path = prefix + std::to_string(index);
        n.node.index = index;
        n.node.host = host;
        n.node.channel = channel;
        n.node.target = target;
        n.node.lun = lun;
        n.node.type = type;
        n.cls = cls;
        n.inquiry = Inquiry(type, identity.empty() ? "HALVERONDRIVE " + n.node.path : identity);
        nodes.push_back(n);
        return nodes.back();
    }

    struct Pending {
        sg_io_hdr_t request;
        FakeAnswer answer;
    };

    FakeNode* Find(const std::string& path) {
        auto l = links.find(path);
        const std::string& p = l == links.end() ? path : l->second;
        for (FakeNode& n : nodes)
            if (n.node.path == p) return &n;
        return nullptr;
    }
    FakeSent Record(FakeNode* n, int handle, const sg_io_hdr_t& hdr, bool async) {
        FakeSent s;
        s.path = n->node.path;
        s.handle = handle;
        s.async = async;
        s.interfaceId = static_cast<char>(hdr.interface_id);
        s.dxferDirection = hdr.dxfer_direction;
        s.cmdLen = hdr.cmd_len;
        s.cdb.assign(hdr.cmdp, hdr.cmdp + hdr.cmd_len);
        s.dxferLen = hdr.dxfer_len;
        s.dxferp = hdr.dxferp;
        s.timeout = hdr.timeout;
        s.mxSbLen = hdr.mx_sb_len;
        sent.push_back(s);
        return s;
    }
    FakeAnswer AnswerFor(const FakeNode& n, const FakeSent& s) {
        if (!queue.empty()) {
            FakeAnswer a = queue.front();
            queue.pop_front();
            return a;
        }
        if (responder) return responder(s);
        FakeAnswer a;
        if (!s.cdb.empty() && s.cdb[0] == 0x12) a.data = n.inquiry;
        return a;
    }
    // The kernel's reply: the request's buffers get the data and sense, `out` the status.
    static void Complete(const sg_io_hdr_t& request, sg_io_hdr_t& out, const FakeAnswer& a) {
        out = request;
        size_t n = std::min<size_t>(a.data.size(), request.dxfer_len);
        if (n && request.dxferp &&
            (request.dxfer_direction == SG_DXFER_FROM_DEV ||
             request.dxfer_direction == SG_DXFER_TO_FROM_DEV))
            std::memcpy(request.dxferp, a.data.data(), n);
        size_t sn = std::min<size_t>(a.sense.size(), request.mx_sb_len);
        if (sn && request.sbp) std::memcpy(request.sbp, a.sense.data(), sn);
        out.sb_len_wr = static_cast<unsigned char>(a.senseLengthSaid >= 0 ? a.senseLengthSaid : sn);
        out.status = a.status;
        out.masked_status = static_cast<unsigned char>((a.status >> 1) & 0x7F);
        out.host_status = a.host;
        out.driver_status = a.driver;
        out.resid = static_cast<int>(request.dxfer_len - n);
        out.info = (a.status || a.host || a.driver) ? SG_INFO_CHECK : SG_INFO_OK;
    }

    ClockPort* clock_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool holdNext_ = false;
    bool held_ = false;
    int inCall_ = 0;
    int inside_ = 0;  // SgIo calls not yet returned
    int nextHandle_ = 3;
    std::map<int, FakeNode*> open_;
    std::map<int, std::deque<Pending>> pending_;
};
