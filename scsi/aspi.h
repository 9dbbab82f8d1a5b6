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
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scsi/backend.h"
#include "scsi/sg_request.h"

// The listing's walk: for each adapter, target 0 to 6, LUN 0 to 254, every node there in turn
// with its adapter number, until `visit` says to leave the target or to stop. The adapter count.
enum class Walk { Next, NextTarget, Stop };
int WalkAdapters(const std::vector<DeviceNode>& nodes,
                 const std::function<Walk(const DeviceNode&, uint8_t adapter)>& visit);

class AspiBackend : public Backend {
  public:
    AspiBackend() = default;
    ~AspiBackend() override { CloseNode(); }
    AspiBackend(const AspiBackend&) = delete;
    AspiBackend& operator=(const AspiBackend&) = delete;

    int Load() override;
    void Unload() override { CloseNode(); }
    int Enumerate(int capacity, DriveRecord* table, CommandReport report) override;
    int Open(const std::string& node, int& err, std::string& held) override;
    void Close() override { CloseNode(); }
    void Execute(const CommandRequest& request, CommandOutcome& outcome) override;
    bool Start(const CommandRequest& request, CommandOutcome& outcome) override;
    bool Poll(CommandOutcome& outcome) override;
    // A request still running is given up: the next one does not wait for it.
    bool Finish(CommandOutcome&) override;
    uint32_t MaxTransfer() override { return fd_ >= 0 ? maxTransfer_ : 0; }
    bool MaySendAnyCommand(std::string& why) override;

    static constexpr uint32_t kListDeadlineMs = 20000;
    static constexpr uint32_t kCommandDeadlineMs = 180000;
    // The largest transfers are 256 KiB; a page more keeps odd lengths in the reserved buffer.
    static constexpr int kReservedSize = 262144 + 4096;
    static constexpr uint8_t kHostError = 0x07;  // DID_ERROR: the reply could not be read

  private:
    // Submits the request on `handle`; false, with the outcome saying why, when refused.
    bool Submit(int handle, const CommandRequest& request, CommandOutcome& outcome);
    // Submits and waits up to `deadlineMs` for the answer: -1 refused, 0 none came or it could
    // not be read (still in the driver), 1 answered.
    int Carry(int handle, const CommandRequest& request, uint32_t deadlineMs,
              CommandOutcome& outcome);
    // One INQUIRY at listing: 1 answered (buffer filled), 0 failed, -1 no answer in time.
    int ListInquiry(const DeviceNode& node, uint8_t* buffer, CommandReport report);
    void Abandon();
    void CloseNode();

    int fd_ = -1;
    int openErr_ = 0;  // why the last Open failed
    std::string node_;
    bool outstanding_ = false;
    uint32_t maxTransfer_ = 0;
    SgBlock block_;
    int packId_ = 0;
};
