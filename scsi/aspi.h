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
// Error record byte 19 is the kernel's host status (DID_*), 0 for a plain CHECK CONDITION.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "scsi/kernel_notes.h"
#include "scsi/transport.h"
#include "system/ports.h"

class AspiBackend : public Backend {
  public:
    AspiBackend() = default;
    ~AspiBackend() override;
    AspiBackend(const AspiBackend&) = delete;
    AspiBackend& operator=(const AspiBackend&) = delete;

    int Load() override;
    void Unload() override;
    int Enumerate(int capacity, DriveRecord* table) override;
    int Open(DriveRecord& record) override;
    bool Close() override;
    int Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                uint8_t direction, int wait) override;
    int Poll() override;
    uint32_t MaxTransfer() override;
    bool MaySendAnyCommand(std::string& why) override;
    bool WaitIdle() override;
    const SentCommand& LastSent() const override { return sent_; }

    int AdapterCount() const { return haCount_; }

    static constexpr int kListDeadlineMs = 20000;
    static constexpr int kCommandDeadlineMs = 180000;
    // The kernel's own limit lies beyond ours, so that a waiting command gives up first.
    static constexpr unsigned kKernelTimeoutMs = 300000;
    static constexpr uint32_t kOpenRetryMs = 1500;
    // The largest transfers are 256 KiB; a page more keeps odd lengths in the reserved buffer.
    static constexpr int kReservedSize = 262144 + 4096;
    static constexpr uint8_t kHostError = 0x07;  // DID_ERROR: the reply could not be read

  private:
    enum : uint8_t { kPending = 0, kComplete = 1, kFailed = 2 };

    // One INQUIRY at listing: 1 done (buffer filled), 0 failed, -1 no answer by the deadline.
    int ListInquiry(const DeviceNode& node, uint8_t* buffer);
    // Wait for the reply to the submitted request until deadlineTick: 1, 0 timed out, -1 error
    // (errno in err).
    int Wait(int handle, uint32_t deadlineTick, int& err);
    // Judge a collected reply; fills the error record on failure.
    void Finish(bool waiting);
    // Drop a request nobody will collect: reopening orphans it, so its reply never lands in a
    // buffer that may be gone.
    void Abandon();
    // The reply could not be read (errno err): drop the request and report a host error.
    void Unreadable(int err);
    void CloseNode();

    int fd_ = -1;
    int openErr_ = 0;  // why the last Open failed
    std::string nodePath_;
    VanishWatch watch_;
    std::string heldBy_;  // the node another program held when the drive was opened
    bool outstanding_ = false;
    uint8_t state_ = kPending;
    int haCount_ = 0;
    int reserved_ = 0;
    uint32_t maxTransfer_ = 0;
    sg_io_hdr_t hdr_{};
    uint8_t cdbArea_[16] = {};
    uint8_t sense_[32] = {};
    uint8_t host_ = 0, senseKey_ = 0, asc_ = 0, ascq_ = 0;
    int packId_ = 0;
    SentCommand sent_;
};
