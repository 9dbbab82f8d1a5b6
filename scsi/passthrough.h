// Pass-through back end (--transport=sr): CD/DVD block devices /dev/srN, commands by SG_IO.
//
// Labels: a record's two-character label is the sr index in decimal, left-justified ("0 " for
// /dev/sr0, "12" for /dev/sr12; above 99 the last two digits; a node without a number takes its
// place in the table), so the list tells the user which node a drive is. The record's `node` is
// what Open uses. With --device the given nodes are listed in the given order, each once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "scsi/transport.h"
#include "system/ports.h"

class PassThroughBackend : public Backend {
  public:
    PassThroughBackend() = default;
    ~PassThroughBackend() override;
    PassThroughBackend(const PassThroughBackend&) = delete;
    PassThroughBackend& operator=(const PassThroughBackend&) = delete;

    int Load() override { return 1; }
    int Enumerate(int capacity, DriveRecord* table) override;
    int Open(DriveRecord& record) override;
    void Close() override;
    int Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                uint8_t direction, int wait) override;
    int Poll() override;
    uint32_t MaxTransfer() override;
    bool MaySendAnyCommand(std::string& why) override;
    void Quiesce() override;
    void WaitIdle() override;
    const SentCommand& LastSent() const override { return sent_; }

    static constexpr uint32_t kCommandTimeoutMs = 300000;
    static constexpr uint32_t kInquiryTimeoutMs = 5000;
    static constexpr uint32_t kOpenRetryMs = 1500;
    // Assumed when the queue does not tell its limit.
    static constexpr uint32_t kDefaultMaxTransfer = 262144;

  private:
    // Open with one retry 1500 ms later; the handle, or -1 with the message shown.
    int OpenNode(const std::string& path);
    void Inquire(const DeviceNode& node, int position, DriveRecord& record);
    // Steps 5 to 7 of a finished request: 1 success, 0 failure with the error record filled.
    int Judge(int ioctlResult, SentCommand& seen);
    void Background(int handle);

    sg_io_hdr_t hdr_{};
    uint8_t cdb_[16] = {};
    uint8_t sense_[32] = {};
    uint32_t maxTransfer_ = 0;
    SentCommand sent_;
    SentCommand background_;  // written by the worker, merged into sent_ once joined
    std::thread worker_;
    std::atomic<bool> workerRunning_{false};
};
