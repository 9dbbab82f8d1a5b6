// Pass-through back end (--transport=sr): CD/DVD block devices /dev/srN, commands by SG_IO.
//
// Labels: a record's two-character label is the sr index in decimal, left-justified ("0 " for
// /dev/sr0, "12" for /dev/sr12; above 99 the last two digits; a node without a number takes its
// place in the table), so the list tells the user which node a drive is. The record's `node` is
// what Open uses. With --device the given nodes are listed in the given order, each once.
//
// A no-wait command runs on a worker thread with copies of its own: the request, the data and
// a duplicate handle of the node. The next command waits for it; CloseDrive and OpenDrive give
// it up instead and leave it to the kernel, which may hold it until its 300 s time-out: its late
// end then reaches nothing the program still uses, and the worker closes its own handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "scsi/kernel_notes.h"
#include "scsi/transport.h"
#include "system/ports.h"

class PassThroughBackend : public Backend {
  public:
    PassThroughBackend();
    ~PassThroughBackend() override;
    PassThroughBackend(const PassThroughBackend&) = delete;
    PassThroughBackend& operator=(const PassThroughBackend&) = delete;

    int Load() override { return 1; }
    int Enumerate(int capacity, DriveRecord* table) override;
    int Open(DriveRecord& record) override;
    bool Close() override;
    int Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                uint8_t direction, int wait) override;
    int Poll() override;
    uint32_t MaxTransfer() override;
    bool MaySendAnyCommand(std::string& why) override;
    void Quiesce() override;
    bool WaitIdle() override;
    const SentCommand& LastSent() const override { return sent_; }

    // Worker threads of no-wait commands that have not ended yet, abandoned ones included.
    static int LiveWorkers();

    static constexpr uint32_t kCommandTimeoutMs = 300000;
    static constexpr uint32_t kInquiryTimeoutMs = 5000;
    static constexpr uint32_t kOpenRetryMs = 1500;
    // Assumed when the queue does not tell its limit.
    static constexpr uint32_t kDefaultMaxTransfer = 262144;

  private:
    struct Job;
    struct Link;

    // Open with one retry 1500 ms later; the handle, or -1 with the message shown. A download's
    // open holds the drive (DevicePort::OpenExclusive).
    int OpenNode(const std::string& path, bool exclusive);
    void Inquire(const DeviceNode& node, int position, DriveRecord& record);
    // Steps 5 to 7 of a finished request: 1 success, 0 failure with the error record filled.
    int Judge(int ioctlResult, int err, const sg_io_hdr_t& hdr, const uint8_t* sense,
              SentCommand& seen);
    // Hands the prepared request to a worker thread; 0 when it cannot be started.
    int Start();
    // Takes the outcome of the worker's ended command into the transport state.
    void Reap();
    // Gives up the running no-wait command; true when there was one still running.
    bool Abandon();

    sg_io_hdr_t hdr_{};
    uint8_t cdb_[16] = {};
    uint8_t sense_[32] = {};
    uint32_t maxTransfer_ = 0;
    std::string heldBy_;  // the node another program held when the drive was opened
    SentCommand sent_;
    VanishWatch watch_;
    std::shared_ptr<Link> link_;
    std::shared_ptr<Job> job_;  // the running no-wait command, until reaped or abandoned
    std::thread worker_;
};
