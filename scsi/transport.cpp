#include "scsi/transport.h"

#include <cstring>

#include "scsi/kernel_notes.h"
#include "system/runtime.h"
#include "system/trace.h"

namespace {

TransportState g_transport;
Backend* g_passThrough = nullptr;
Backend* g_aspi = nullptr;

enum : uint8_t { kNone = XFER_NONE, kIn = XFER_IN, kOut = XFER_OUT };

constexpr uint8_t kNoneOps[] = {0x00, 0x01, 0x0B, 0x16, 0x17, 0x1B, 0x1E, 0x2B,
                                0x2F, 0x34, 0x35, 0x45, 0x47, 0x48, 0x49, 0x4B,
                                0x53, 0x58, 0x5B, 0xA1, 0xA5, 0xA9, 0xBB, 0xF5};
constexpr uint8_t kInOps[] = {0x03, 0x08, 0x12, 0x1A, 0x1C, 0x25, 0x28, 0x3C,
                              0x42, 0x43, 0x44, 0x51, 0x52, 0x59, 0x5A, 0x5C,
                              0xA8, 0xAD, 0xBD, 0xBE, 0xCE, 0xD4, 0xD6};
constexpr uint8_t kOutOps[] = {0x04, 0x15, 0x1D, 0x2A, 0x2E, 0x3B, 0x54,
                               0x55, 0x5D, 0xAA, 0xCC, 0xCD, 0xEA};
static_assert(sizeof(kNoneOps) == 24 && sizeof(kInOps) == 23 && sizeof(kOutOps) == 13);

struct DirectionTable {
    uint8_t dir[256] = {};
    constexpr DirectionTable() {
        for (uint8_t op : kNoneOps) dir[op] = kNone;
        for (uint8_t op : kInOps) dir[op] = kIn;
        for (uint8_t op : kOutOps) dir[op] = kOut;
    }
};
constexpr DirectionTable kDirections;

void Lower() {
    if (rt().priority) rt().priority->SetLowest();
}
void Normal() {
    if (rt().priority) rt().priority->SetNormal();
}

const char* DirName(uint8_t resolved) {
    switch (resolved) {
        case XFER_IN:
            return "in";
        case XFER_OUT:
            return "out";
        case XFER_NONE:
            return "none";
        default:
            return "unspecified";
    }
}

Trace::Command Described(const SentCommand& s) {
    Trace::Command c;
    c.cdb = s.cdb;
    c.cdbLength = s.cdbLength;
    c.dir = s.dir;
    c.length = s.length;
    c.status = s.scsiStatus;
    c.host = s.hostStatus;
    c.senseKey = s.senseKey;
    c.asc = s.asc;
    c.ascq = s.ascq;
    c.sent = s.sent;
    c.err = s.err;
    return c;
}

// A no-wait command's end is traced once, when PollCommand first reports it; one given up on
// before that gets a note instead. Either way the next command starts with nothing untraced.
void NoWaitGone(Backend* b, bool abandoned) {
    if (abandoned && g_transport.endUntraced) {
        if (rt().trace) rt().trace->CmdAbandoned(Described(b->LastSent()));
        NoteAbandoned(b->LastSent(), g_transport.openNode);
    }
    g_transport.endUntraced = false;
}

void TraceCommand(const SentCommand& s, int wait, const uint8_t* data, int result) {
    if (!rt().trace) return;
    Trace::Command c = Described(s);
    c.wait = wait != 0;
    c.out = (std::strcmp(s.dir, "out") == 0) ? data : nullptr;
    c.result = result;
    rt().trace->Cmd(c);
}

int Run(int wait, uint8_t direction, const uint8_t* cdb, void* buffer, uint32_t length) {
    Backend* b = ActiveBackend();
    int result;
    {
        LoweredPriority lowered;  // unless a DownLoad or scan holds it lowered already
        result = b ? b->Execute(cdb, 0xFF, buffer, length, direction, wait) : 0;
    }
    if (b)
        ReportCommand(b->LastSent(), wait, static_cast<const uint8_t*>(buffer), result,
                      g_transport.openNode);
    return result;
}

}  // namespace

void ReportCommand(const SentCommand& sent, int wait, const uint8_t* data, int result,
                   const std::string& node) {
    if (sent.sent) ++g_transport.commandsSent;
    TraceCommand(sent, wait, data, result);
    NoteCommandOutcome(sent, node);
}

DriveRecord (&driveTable)[kDriveTableCapacity] = g_transport.driveTable;
int& driveCount = g_transport.driveCount;
CommandErrorRecord& lastCommandError = g_transport.lastCommandError;

LoweredPriority::LoweredPriority() {
    if (g_transport.priorityHolds++ == 0) Lower();
}

LoweredPriority::~LoweredPriority() {
    if (g_transport.priorityHolds > 0 && --g_transport.priorityHolds == 0) Normal();
}

void TransportState::Reset() {
    useAspi = false;
    openDevice = -1;
    currentDrive = nullptr;
    asyncState = 0;
    lastCommandError = CommandErrorRecord{};
    for (DriveRecord& r : driveTable) r = DriveRecord{};
    driveCount = 0;
    aspiLibrary = false;
    openNode.clear();
    endUntraced = false;
    unopened.clear();
    priorityHolds = 0;
}

TransportState& transport() {
    return g_transport;
}

void SetBackends(Backend* passThrough, Backend* aspi) {
    g_passThrough = passThrough;
    g_aspi = aspi;
}

Backend* ActiveBackend() {
    return g_transport.useAspi ? g_aspi : g_passThrough;
}

uint8_t LookupDirection(uint8_t opcode) {
    return kDirections.dir[opcode];
}

int CdbLengthForOpcode(uint8_t opcode) {
    if (opcode <= 0x1F) return 6;
    if (opcode <= 0x7F) return 10;
    return 12;
}

uint8_t DirectionForOpcode(uint8_t opcode) {
    uint8_t d = LookupDirection(opcode);
    if (d == 0) {
        ShowMessage("Unknown Command!");
        return 2;
    }
    if (g_transport.useAspi) {
        return d == XFER_IN ? SRB_DIR_IN : d == XFER_OUT ? SRB_DIR_OUT : SRB_DIR_NONE;
    }
    return d == XFER_IN    ? SCSI_IOCTL_DATA_IN
           : d == XFER_OUT ? SCSI_IOCTL_DATA_OUT
                           : SCSI_IOCTL_DATA_UNSPECIFIED;
}

uint8_t ResolveDirection(uint8_t opcode, uint8_t direction, uint32_t length) {
    if (direction == XFER_BY_OPCODE) {
        uint8_t d = LookupDirection(opcode);
        if (d == 0) ShowMessage("Unknown Command!");
        return d;
    }
    if (length == 0) return XFER_NONE;
    if (direction == XFER_IN || direction == XFER_OUT) return direction;
    return XFER_NONE;
}

const char* DirectionName(uint8_t resolved) {
    return DirName(resolved);
}

int InitTransport() {
    // The open node is forgotten, not closed: callers close it first.
    g_transport.openDevice = -1;
    g_transport.aspiLibrary = false;
    g_transport.useAspi = rt().transport == TransportChoice::Sg;
    Backend* b = ActiveBackend();
    if (!b) return 0;
    if (!b->Load()) return 0;
    if (g_transport.useAspi) g_transport.aspiLibrary = true;
    return 1;
}

int IsAspiMode() {
    return g_transport.useAspi ? 1 : 0;
}

int EnumerateDrives(int capacity, DriveRecord* table) {
    g_transport.unopened.clear();
    Backend* b = ActiveBackend();
    return b ? b->Enumerate(capacity, table) : 0;
}

int OpenDrive(DriveRecord& record) {
    CloseDrive();
    Backend* b = ActiveBackend();
    transport().openNode = record.node;
    return b ? b->Open(record) : 0;
}

void CloseDrive() {
    if (Backend* b = ActiveBackend()) NoWaitGone(b, b->Close());
}

void ReleaseAspiLibrary() {
    if (!g_transport.aspiLibrary) return;
    if (g_aspi) g_aspi->Unload();
    g_transport.aspiLibrary = false;
}

// A no-wait command still running owns the error record: let it end before clearing it.
static void Idle() {
    if (Backend* b = ActiveBackend()) NoWaitGone(b, b->WaitIdle());
}

int ExecCommand(const uint8_t* cdb, void* buffer, uint32_t length) {
    Idle();
    g_transport.lastCommandError = CommandErrorRecord{};
    if (cdb[0] == 0xCF) {
        if (rt().trace) {
            Trace::Command c;
            c.cdb = cdb;
            c.cdbLength = CdbLengthForOpcode(cdb[0]);
            c.dir = "unspecified";
            c.length = length;
            c.sent = false;
            rt().trace->Cmd(c);
        }
        return 0;
    }
    return Run(1, XFER_BY_OPCODE, cdb, buffer, length);
}

int ExecCommandEx(int wait, uint8_t direction, const uint8_t* cdb, void* buffer, uint32_t length) {
    Idle();
    g_transport.lastCommandError = CommandErrorRecord{};
    int result = Run(wait, direction, cdb, buffer, length);
    g_transport.endUntraced = !wait && result;
    return result;
}

int ExecCommand64K(const uint8_t* cdb, void* buffer) {
    return buffer ? ExecCommand(cdb, buffer, kLength64K) : ExecCommand(cdb, nullptr, 0);
}

int TestUnitReady() {
    uint8_t cdb[12] = {};
    return ExecCommand(cdb, nullptr, 0);
}

int PollCommand() {
    Backend* b = ActiveBackend();
    if (!b) return 2;
    int state = b->Poll();
    if (state != 0 && g_transport.endUntraced) {
        g_transport.endUntraced = false;
        if (rt().trace) rt().trace->CmdEnd(Described(b->LastSent()), state);
        NoteCommandOutcome(b->LastSent(), g_transport.openNode);
    }
    return state;
}

void GiveUpCommand() {
    if (Backend* b = ActiveBackend()) NoWaitGone(b, true);
}

uint32_t TransportMaxTransfer() {
    Backend* b = ActiveBackend();
    return b ? b->MaxTransfer() : 0;
}

bool TransportMaySendAnyCommand(std::string& why) {
    Backend* b = ActiveBackend();
    if (!b) {
        why = "no transport";
        return false;
    }
    return b->MaySendAnyCommand(why);
}

void TransportQuiesce() {
    Backend* b = ActiveBackend();
    if (b) b->Quiesce();
}
