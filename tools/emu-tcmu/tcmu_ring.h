// Our side of the kernel's TCMU command ring (linux/target_core_user.h): the commands the LIO
// target queues for a user backstore go to an emulated drive, and its answers go back into the
// ring. The same EmulatedDrive code that answers at the device port in-process answers here, so
// that a real kernel (sr, sg, the block layer, tcm_loop, LIO) stands between program and drive.
//
// The mapped area starts with the mailbox; the kernel queues entries at the ring's head, and
// takes back answers from the tail up to where we have moved it. An entry names its CDB and data
// buffers by offsets into the area. The kernel does not say which way a command's data goes:
// the drive knows that of its own commands (PhaseFor), as a real one does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emu/emulated_drive.h"

// How many CDB bytes LIO hands a backstore for a command (the kernel's scsi_command_size): by
// the opcode's group, so that the vendor opcodes 0xC0 to 0xFF arrive as 10 bytes.
size_t LioCdbLength(uint8_t opcode);

enum class DataPhase { None, In, Out, Unknown };
// Which way the data of a command goes, for the commands the emulated drives know; of a command
// the drive does not know it takes nothing and gives nothing.
DataPhase PhaseFor(uint8_t opcode);

// One command as the drive got and answered it.
struct ServedCommand {
    std::vector<uint8_t> cdb;  // the bytes the drive received
    DataPhase phase = DataPhase::None;
    size_t length = 0;  // the command's data length
    size_t moved = 0;   // bytes the drive took (out) or gave (in)
    uint8_t status = 0, senseKey = 0, asc = 0, ascq = 0;
    uint32_t busyMs = 0;  // answered this long after it came
    bool hang = false;    // never answered
    bool broken = false;  // the entry pointed outside the area: answered, not run
};

// "op=3B cdb=3b05... dir=out len=2048 moved=2048 status=00 sense=00/00/00".
std::string DescribeServed(const ServedCommand& c);

class TcmuRing {
  public:
    // The mapped area, mailbox first.
    TcmuRing(uint8_t* area, size_t size);

    // The mailbox is one this code understands, its ring inside the area.
    bool Valid(std::string& why) const;

    // Runs on the drive, at time nowMs, every command queued since the last call, and answers
    // every command whose answer is due by then: a command the drive is busy with is answered
    // after its time, one that hangs never. Where the kernel takes answers out of order, the
    // others do not wait for them; else each waits for those queued before it. Returns the
    // number of answers given.
    int Serve(EmulatedDrive& drive, uint64_t nowMs,
              const std::function<void(const ServedCommand&)>& log);

    // When the next held answer is due; none when nothing waits for its time.
    std::optional<uint64_t> NextDue() const;
    // An entry the ring cannot be walked past: nothing after it is served.
    bool Broken() const { return broken_; }

  private:
    struct Span {
        uint8_t* data;
        size_t length;
    };
    struct Answer {
        uint16_t id = 0;
        ServedCommand served;
        uint64_t dueMs = 0;
    };
    // The entry's data buffers, each checked to lie inside the area; false when one does not.
    bool DataSpans(const uint8_t* entry, size_t entryLength, std::vector<Span>& spans) const;
    void Run(uint8_t* entry, size_t entryLength, EmulatedDrive& drive, uint64_t nowMs,
             Answer& answer);
    // Writes an answer into the oldest entry not yet handed back, and hands it back.
    void Give(const Answer& answer);
    uint32_t RingSize() const;
    uint8_t* Ring() const;

    uint8_t* area_;
    size_t size_;
    bool outOfOrder_ = false, readLength_ = false;
    uint32_t next_ = 0;           // the first entry not yet read
    std::deque<Answer> waiting_;  // read, not yet answered, in the order they came
    bool broken_ = false;
};
