// The one command execution interface. Every SCSI command the program sends goes through here;
// which back end carries it (pass-through over /dev/srN, or adapter/target/LUN over /dev/sgN)
// is fixed by InitTransport.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "scsi/scsi_types.h"

// What a back end saw of the last command it sent, for the trace.
struct SentCommand {
    uint8_t cdb[12] = {};
    int cdbLength = 0;
    const char* dir = "none";  // in, out, none, unspecified
    uint32_t length = 0;
    uint8_t scsiStatus = 0;
    uint8_t hostStatus = 0;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    bool sent = true;        // false: the back end refused it; nothing reached the kernel
    int err = 0;             // errno of a kernel call that failed
    unsigned timeoutMs = 0;  // the kernel's time limit for it
    bool gaveUp = false;     // the program stopped waiting for its end
};

// The back-end contract: Enumerate, Open, Execute, Poll, plus Linux housekeeping.
class Backend {
  public:
    virtual ~Backend() = default;
    // Called by InitTransport once the back end is chosen; 0 fails InitTransport.
    virtual int Load() = 0;
    virtual void Unload() {}
    virtual int Enumerate(int capacity, DriveRecord* table) = 0;
    virtual int Open(DriveRecord& record) = 0;
    // CloseDrive. A running no-wait command is given up at once, not waited for: the kernel may
    // still carry it out, but its end reaches nothing the program uses, and Poll then reports
    // it failed. True when one was given up.
    virtual bool Close() = 0;
    virtual int Execute(const uint8_t* cdb, uint8_t cdbLength, void* buffer, uint32_t length,
                        uint8_t direction, int wait) = 0;
    virtual int Poll() = 0;
    // Largest single transfer the open drive can carry (bytes); 0 when nothing is open.
    virtual uint32_t MaxTransfer() = 0;
    // Can this process send WRITE BUFFER and vendor opcodes on this transport? When not, why.
    virtual bool MaySendAnyCommand(std::string& why) = 0;
    // A virtual-clock run calls this after each advance: let a due no-wait command finish.
    virtual void Quiesce() {}
    // Let a running no-wait command finish (or abandon it safely) before the shared state is
    // touched again; ExecCommand and ExecCommandEx call it before clearing the error record.
    // True when it was abandoned.
    virtual bool WaitIdle() { return false; }
    // The last command as it went to the kernel.
    virtual const SentCommand& LastSent() const = 0;
};

// The transport's process-wide state.
struct TransportState {
    bool useAspi = false;  // the sg (adapter/target/LUN) back end is in force
    int openDevice = -1;   // pass-through: the open node's handle, -1 = none
    DriveRecord* currentDrive = nullptr;
    std::atomic<uint8_t> asyncState{
        0};  // pass-through no-wait command: 0 running, 1 done, 2 failed
    CommandErrorRecord lastCommandError{};
    DriveRecord driveTable[kDriveTableCapacity];
    int driveCount = 0;
    bool aspiLibrary = false;  // sg back end loaded
    std::string openNode;      // the device node OpenDrive opened last, for messages
    bool endUntraced = false;  // a no-wait command runs whose end the trace has not had yet
    // Nodes the last enumeration could not open, with the errno, for the notes.
    struct Unopened {
        std::string path;
        int err;
    };
    std::vector<Unopened> unopened;
    int priorityHolds = 0;                  // LoweredPriority objects alive
    std::atomic<uint64_t> commandsSent{0};  // that reached the kernel, ever: a download's history

    void Reset();
};

TransportState& transport();

// The names the rest of the program reads, bound to the one TransportState.
extern DriveRecord (&driveTable)[kDriveTableCapacity];
extern int& driveCount;
extern CommandErrorRecord& lastCommandError;

// The back ends the transport chooses between. Production wires the Linux ones; tests may plug
// in their own. Ownership stays with the caller.
void SetBackends(Backend* passThrough, Backend* aspi);
Backend* ActiveBackend();

int InitTransport();
int IsAspiMode();
int EnumerateDrives(int capacity, DriveRecord* table);
int OpenDrive(DriveRecord& record);
void CloseDrive();
void ReleaseAspiLibrary();
int ExecCommand(const uint8_t* cdb, void* buffer, uint32_t length);
int ExecCommandEx(int wait, uint8_t direction, const uint8_t* cdb, void* buffer, uint32_t length);
int ExecCommand64K(const uint8_t* cdb, void* buffer);
int TestUnitReady();
int PollCommand();
// The caller stops waiting for the no-wait command: one whose end was not seen is traced as
// abandoned and noted now, before the box that says so, and not again when the drive closes.
void GiveUpCommand();

// Every command runs at lowered thread priority and the thread runs at normal priority once it
// is done. Lowering and restoring costs system calls, and lowering a thread that then sleeps in
// the kernel until the drive answers changes nothing for anyone; so a stretch of commands (a
// whole DownLoad) holds the priority lowered once: the thread yields the processor to other
// work for the whole stretch, its own work between commands included, and is set to normal
// when the last holder ends. A command outside any stretch lowers and restores it around
// itself. Nested holders count as one. Only for the thread that sends the commands.
class LoweredPriority {
  public:
    LoweredPriority();
    ~LoweredPriority();
    LoweredPriority(const LoweredPriority&) = delete;
    LoweredPriority& operator=(const LoweredPriority&) = delete;
};

// Opcode tables. LookupDirection gives the table's answer with no side effect: XFER_IN,
// XFER_OUT, XFER_NONE, or 0 for an opcode outside the table.
uint8_t LookupDirection(uint8_t opcode);
// The direction encoded for the active back end; outside the table it shows
// "Unknown Command!" and yields 2.
uint8_t DirectionForOpcode(uint8_t opcode);
int CdbLengthForOpcode(uint8_t opcode);

// Resolve a caller's direction code the way both back ends do: XFER_IN, XFER_OUT, XFER_NONE,
// or 0 when the opcode is outside the table (the message has been shown then).
uint8_t ResolveDirection(uint8_t opcode, uint8_t direction, uint32_t length);
// "in", "out", "none" or "unspecified" for a ResolveDirection result.
const char* DirectionName(uint8_t resolved);

// Records a command in the trace, if there is one, and notes what the kernel said of it beyond
// the drive's status (on `node`). The interface reports every command it carries; back ends
// report the ones they send of their own (the listing INQUIRY).
void ReportCommand(const SentCommand& sent, int wait, const uint8_t* data, int result,
                   const std::string& node);

// Largest transfer of the open drive, and the rights check, from the active back end.
uint32_t TransportMaxTransfer();
bool TransportMaySendAnyCommand(std::string& why);
void TransportQuiesce();
