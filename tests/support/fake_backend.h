// A back end that records every request and answers from a script: the one fake of the command
// path, for tests of the transport and of everything above it.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "scsi/transport.h"

struct FakeCommand {
    std::vector<uint8_t> cdb;  // the bytes to send (6, 10 or 12)
    uint8_t direction;         // resolved: XFER_IN, XFER_OUT, XFER_NONE, 0 = unspecified
    uint32_t length;           // the host length
    int wait;
    std::vector<uint8_t> out;  // data sent, for out commands
    const void* data;          // the caller's buffer
    uint32_t timeoutMs;
};

// A drive that took the command and answered GOOD, or CHECK CONDITION with a sense.
inline CommandOutcome Good() {
    CommandOutcome o;
    o.sent = true;
    return o;
}
inline CommandOutcome CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    CommandOutcome o = Good();
    o.status = 0x02;
    o.driver = 0x08;  // DRIVER_SENSE
    o.senseKey = key;
    o.asc = asc;
    o.ascq = ascq;
    return o;
}

// What the back end says of one command.
struct FakeReply {
    CommandOutcome outcome = Good();
    std::vector<uint8_t> data;  // copied into the buffer of an in command
};

class FakeBackend : public Backend {
  public:
    std::vector<DriveRecord> drives;  // what Enumerate lists
    int loadResult = 1;
    std::deque<int> openErrors;  // each Open fails with the next errno while there are any
    std::string heldBy;          // the node a failing Open names as holding the drive
    int opens = 0, closes = 0, unloads = 0;
    std::vector<FakeCommand> commands;
    // Answer per command: a custom responder, else the queue, else GOOD with no data.
    std::function<FakeReply(const FakeCommand&)> responder;
    std::deque<FakeReply> replies;
    int pendingPolls = 0;     // a started command runs for this many Polls
    bool finishWaits = true;  // the next command waits for a started one; false: gives it up
    uint32_t maxTransfer = 262144;
    bool mayAll = true;

    int Load() override { return loadResult; }
    void Unload() override { ++unloads; }
    int Enumerate(int capacity, DriveRecord* table, CommandReport) override {
        int n = 0;
        for (const DriveRecord& d : drives) {
            if (n >= capacity) break;
            table[n++] = d;
        }
        return n;
    }
    int Open(const std::string&, int& err, std::string& held) override {
        ++opens;
        if (openErrors.empty()) return 3;
        err = openErrors.front();
        openErrors.pop_front();
        held = heldBy;
        return -1;
    }
    void Close() override { ++closes; }
    void Execute(const CommandRequest& r, CommandOutcome& o) override { o = Answer(r); }
    bool Start(const CommandRequest& r, CommandOutcome& o) override {
        started_ = Answer(r);
        o.sent = true;
        polls_ = pendingPolls;
        return true;
    }
    bool Poll(CommandOutcome& o) override {
        if (polls_-- > 0) return false;
        o = started_;
        return true;
    }
    bool Finish(CommandOutcome& o) override {
        if (finishWaits) o = started_;
        return finishWaits;
    }
    uint32_t MaxTransfer() override { return maxTransfer; }
    bool MaySendAnyCommand(std::string& why) override {
        if (!mayAll) why = "not allowed";
        return mayAll;
    }

    // A drive record with the given 24-character identity and type 5.
    static DriveRecord Drive(const std::string& identity, const std::string& revision = "1.00") {
        DriveRecord d;
        d.inquiry[0] = 5;
        std::memset(d.inquiry + 8, ' ', 28);
        std::memcpy(d.inquiry + 8, identity.data(), std::min<size_t>(identity.size(), 24));
        std::memcpy(d.inquiry + 32, revision.data(), std::min<size_t>(revision.size(), 4));
        return d;
    }
    // Opcodes of the commands sent, in order.
    std::vector<uint8_t> Opcodes() const {
        std::vector<uint8_t> v;
        for (const auto& c : commands) v.push_back(c.cdb[0]);
        return v;
    }

  private:
    CommandOutcome Answer(const CommandRequest& r) {
        const auto* data = static_cast<const uint8_t*>(r.data);
        FakeCommand c{
            {r.cdb, r.cdb + r.cdbLength}, r.direction, r.length, r.wait, {}, r.data, r.timeoutMs};
        if (r.direction == XFER_OUT && data) c.out.assign(data, data + r.length);
        commands.push_back(c);
        FakeReply reply;
        if (responder) {
            reply = responder(c);
        } else if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
        if (r.direction == XFER_IN && r.data && !reply.data.empty())
            std::memcpy(r.data, reply.data.data(), std::min<size_t>(reply.data.size(), r.length));
        return reply.outcome;
    }

    CommandOutcome started_;
    int polls_ = 0;
};
