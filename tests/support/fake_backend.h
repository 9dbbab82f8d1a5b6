// A back end that records every command and answers from a script: for tests of everything
// above the transport interface.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "scsi/transport.h"

struct FakeCommand {
    std::vector<uint8_t> cdb;  // the CDB bytes sent (6, 10 or 12)
    uint8_t direction;         // resolved: XFER_IN, XFER_OUT, XFER_NONE, 0 = unspecified
    uint32_t length;
    int wait;
    std::vector<uint8_t> out;  // data sent, for out commands
};

// What the drive answers to one command.
struct FakeReply {
    int result = 1;             // 1 success, 0 failure
    std::vector<uint8_t> data;  // copied into the buffer of an in command
    uint8_t senseKey = 0, asc = 0, ascq = 0, status = 0;
    int pollResult = 1;  // for no-wait commands: what Poll reports once done
};

class FakeBackend : public Backend {
  public:
    std::vector<DriveRecord> drives;  // what Enumerate reports
    int loadResult = 1;
    int openResult = 1;
    int opens = 0, closes = 0, unloads = 0;
    std::vector<FakeCommand> commands;
    // Answer per command: a custom responder, else the queue, else success with no data.
    std::function<FakeReply(const FakeCommand&)> responder;
    std::deque<FakeReply> replies;
    int pendingPolls = 0;  // Poll answers 0 this many times after a no-wait command
    int pollValue = 1;
    uint32_t maxTransfer = 262144;
    bool mayAll = true;

    int Load() override { return loadResult; }
    void Unload() override { ++unloads; }
    int Enumerate(int capacity, DriveRecord* table) override {
        int n = 0;
        for (const DriveRecord& d : drives) {
            if (n >= capacity) break;
            table[n++] = d;
        }
        return n;
    }
    int Open(DriveRecord&) override {
        ++opens;
        return openResult;
    }
    bool Close() override {
        ++closes;
        return false;
    }
    int Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                uint8_t direction, int wait) override {
        int n = cdbLength == 0xFF ? CdbLengthForOpcode(cdb[0]) : cdbLength;
        uint8_t dir = ResolveDirection(cdb[0], direction, length);
        FakeCommand c{std::vector<uint8_t>(cdb, cdb + n), dir, length, wait, {}};
        if (dir == XFER_OUT && buffer)
            c.out.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
        std::memcpy(lastCommandError.cdb, cdb, 12);
        if (cdbLength == 0xFF) std::memset(lastCommandError.cdb + n, 0, 12 - n);
        sent_ = SentCommand{};
        std::memcpy(sent_.cdb, cdb, static_cast<size_t>(n));
        sent_.cdbLength = n;
        sent_.dir = DirectionName(dir);
        sent_.length = length;
        commands.push_back(c);
        FakeReply r;
        if (responder) {
            r = responder(c);
        } else if (!replies.empty()) {
            r = replies.front();
            replies.pop_front();
        }
        if (dir == XFER_IN && buffer && !r.data.empty())
            std::memcpy(buffer, r.data.data(), std::min<size_t>(r.data.size(), length));
        if (!wait) {
            pollValue = r.pollResult;
            fail_ = r;
            return 1;
        }
        if (!r.result) Fill(r);
        return r.result;
    }
    int Poll() override {
        if (pendingPolls > 0) {
            --pendingPolls;
            return 0;
        }
        if (pollValue == 2) Fill(fail_);
        return pollValue;
    }
    uint32_t MaxTransfer() override { return maxTransfer; }
    bool MaySendAnyCommand(std::string& why) override {
        if (!mayAll) why = "not allowed";
        return mayAll;
    }
    const SentCommand& LastSent() const override { return sent_; }

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
    void Fill(const FakeReply& r) {
        lastCommandError.senseKey = r.senseKey;
        lastCommandError.asc = r.asc;
        lastCommandError.ascq = r.ascq;
        lastCommandError.status = r.status;
    }
    SentCommand sent_;
    FakeReply fail_;
};
