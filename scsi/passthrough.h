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

#include "scsi/backend.h"
#include "scsi/sg_request.h"

class PassThroughBackend : public Backend {
  public:
    PassThroughBackend();
    ~PassThroughBackend() override;
    PassThroughBackend(const PassThroughBackend&) = delete;
    PassThroughBackend& operator=(const PassThroughBackend&) = delete;

    int Load() override { return 1; }
    int Enumerate(int capacity, DriveRecord* table, CommandReport report) override;
    int Open(const std::string& node, int& err, std::string& held) override;
    void Close() override;
    void Execute(const CommandRequest& request, CommandOutcome& outcome) override;
    bool Start(const CommandRequest& request, CommandOutcome& outcome) override;
    bool Poll(CommandOutcome& outcome) override;
    bool Finish(CommandOutcome& outcome) override;
    uint32_t MaxTransfer() override { return fd_ >= 0 ? maxTransfer_ : 0; }
    bool MaySendAnyCommand(std::string& why) override;
    void Quiesce() override;

    // Worker threads of no-wait commands that have not ended yet, abandoned ones included.
    static int LiveWorkers();

    static constexpr uint32_t kInquiryTimeoutMs = 5000;
    // Assumed when the queue does not tell its limit.
    static constexpr uint32_t kDefaultMaxTransfer = 262144;

  private:
    struct Job;
    struct Link;

    void Inquire(const DeviceNode& node, int position, DriveRecord& record, CommandReport report);
    // The ended worker's outcome, its data into the caller's buffer.
    void Reap(CommandOutcome& outcome);

    int fd_ = -1;
    uint32_t maxTransfer_ = 0;
    SgBlock block_;
    std::shared_ptr<Link> link_;
    std::shared_ptr<Job> job_;  // the running no-wait command, until reaped or abandoned
    std::thread worker_;
};
