// The one command execution interface. Every SCSI command the program sends goes through here;
// which back end carries it (pass-through over /dev/srN, or adapter/target/LUN over /dev/sgN)
// is fixed by InitTransport. The rules of a command's way are all here: its direction and CDB
// length, one wait for a started command before the next, the open with its retry, the error
// record as each back end's rules fill it, the trace, the notes and the vanished-drive watch.
#pragma once

#include <cstdint>
#include <string>

#include "scsi/backend.h"
#include "scsi/scsi_types.h"

// The kernel's limit on every command the program sends.
constexpr uint32_t kCommandTimeoutMs = 300000;

// The transport's process-wide state.
struct TransportState {
    bool useAspi = false;  // the sg (adapter/target/LUN) back end is in force
    int openDevice = -1;   // the handle the open drive's node got, -1 = none
    DriveRecord* currentDrive = nullptr;
    uint8_t asyncState = 0;  // the last no-wait command: 0 running, 1 done, 2 failed
    CommandErrorRecord lastCommandError{};
    DriveRecord driveTable[kDriveTableCapacity];
    int driveCount = 0;
    bool aspiLibrary = false;  // sg back end loaded
    std::string openNode;      // the device node OpenDrive opened last, for messages
    std::string heldBy;        // the node another program held when it was opened; empty: none
    bool vanished = false;     // the open drive is gone: nothing more is sent to it
    // The no-wait command whose end PollCommand has not reported yet.
    bool started = false;
    CommandRequest startedRequest;
    uint8_t startedCdb[12] = {};
    // What the last command that ended came back with: its residual, and on sg what PollCommand
    // says again of the command block, with the block's CDB area and state.
    CommandOutcome lastOutcome;
    uint8_t cdbArea[12] = {};
    uint8_t blockState = 0;
    bool endReported = false;   // the started command was given up on in the trace and notes
    int priorityHolds = 0;      // LoweredPriority objects alive
    uint64_t commandsSent = 0;  // that reached the kernel: whether a download touched its drive

    void Reset() { *this = TransportState{}; }
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
// The caller stops waiting for the no-wait command: traced and noted as abandoned now, before the
// box that says so, and not again when the drive closes.
void GiveUpCommand();

// Bytes of its data phase that the last waiting command did not move, as the kernel counted
// them (some adapters always say 0).
uint32_t LastCommandResidual();

// Every command runs at lowered thread priority, and the thread at normal priority once it is
// done. Lowering costs system calls and helps nobody while the thread sleeps in the kernel, so a
// stretch of commands (a whole DownLoad) holds it lowered once, its work between commands
// included, until the last holder ends; a command outside any stretch lowers and restores it
// around itself. Only for the thread that sends the commands.
class LoweredPriority {
  public:
    LoweredPriority();
    ~LoweredPriority();
    LoweredPriority(const LoweredPriority&) = delete;
    LoweredPriority& operator=(const LoweredPriority&) = delete;
};

// The opcode tables: XFER_IN, XFER_OUT, XFER_NONE, or 0 outside the table; 6, 10 or 12 bytes.
uint8_t LookupDirection(uint8_t opcode);
int CdbLengthForOpcode(uint8_t opcode);

// Largest transfer of the open drive, and the rights check, from the active back end.
uint32_t TransportMaxTransfer();
bool TransportMaySendAnyCommand(std::string& why);
void TransportQuiesce();
