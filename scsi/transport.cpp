#include "scsi/transport.h"

#include <array>
#include <cstring>
#include <utility>

#include "scsi/kernel_notes.h"
#include "system/runtime.h"
#include "system/trace.h"

namespace {

TransportState g_transport;
Backend* g_passThrough = nullptr;
Backend* g_aspi = nullptr;

// The opcode table: in, out or no data phase; 0 outside it.
constexpr auto kDirections = [] {
    std::array<uint8_t, 256> d{};
    for (uint8_t op : {0x00, 0x01, 0x0B, 0x16, 0x17, 0x1B, 0x1E, 0x2B, 0x2F, 0x34, 0x35, 0x45,
                       0x47, 0x48, 0x49, 0x4B, 0x53, 0x58, 0x5B, 0xA1, 0xA5, 0xA9, 0xBB, 0xF5})
        d[op] = XFER_NONE;
    for (uint8_t op : {0x03, 0x08, 0x12, 0x1A, 0x1C, 0x25, 0x28, 0x3C, 0x42, 0x43, 0x44, 0x51,
                       0x52, 0x59, 0x5A, 0x5C, 0xA8, 0xAD, 0xBD, 0xBE, 0xCE, 0xD4, 0xD6})
        d[op] = XFER_IN;
    for (uint8_t op :
         {0x04, 0x15, 0x1D, 0x2A, 0x2E, 0x3B, 0x54, 0x55, 0x5D, 0xAA, 0xCC, 0xCD, 0xEA})
        d[op] = XFER_OUT;
    return d;
}();

// The caller's direction code resolved: XFER_BY_OPCODE takes the table (outside it, the message
// and 0); otherwise a length of 0 means no data phase whatever the code.
uint8_t ResolveDirection(uint8_t opcode, uint8_t direction, uint32_t length) {
    if (direction == XFER_BY_OPCODE) {
        uint8_t d = LookupDirection(opcode);
        if (d == 0) ShowMessage("Unknown Command!");
        return d;
    }
    if (length == 0) return XFER_NONE;
    return direction == XFER_IN || direction == XFER_OUT ? direction : XFER_NONE;
}

// A command in the trace, and what the kernel said of it beyond the drive's status in the notes;
// the back ends' own listing commands come here too.
void Report(const CommandRequest& r, const CommandOutcome& o, int result, const std::string& node) {
    if (o.sent) ++g_transport.commandsSent;
    if (rt().trace) rt().trace->Cmd(r, o, result);
    NoteCommandOutcome(r, o, node);
}

// The result of a command that ended, and the error record after a failure, by the rules of the
// back end in force. Through /dev/srN byte 19 is the SCSI status and sense key 0 with an ASC and
// ASCQ passes; through /dev/sgN byte 19 is the host status, and a command the program gave up
// waiting for fills bytes 12 to 19 with 0xFF. One that was never sent leaves them zero.
int Judge(const CommandOutcome& o) {
    CommandErrorRecord& e = g_transport.lastCommandError;
    const bool sg = g_transport.useAspi;
    if (!o.sent) return 0;
    if (o.gaveUpAfterMs) {
        std::memset(e.bytes() + 12, 0xFF, 8);
        return 0;
    }
    if (o.Delivered() && (o.status == 0 || (!sg && o.senseKey == 0 && o.asc && o.ascq))) return 1;
    e.status = sg ? o.host : o.status;
    e.senseKey = o.senseKey;
    e.asc = o.asc;
    e.ascq = o.ascq;
    return 0;
}

// What every command that ended leaves behind: the vanished-drive watch, its outcome, and the sg
// command block's state, which PollCommand reports on that back end whatever the command was.
void Settled(const CommandOutcome& o, int result) {
    TransportState& t = g_transport;
    t.vanished = t.vanished || DriveVanished(o.err, o.host);
    t.lastOutcome = o;
    t.blockState = result ? 1 : 2;
}

// A started command's end, or (no outcome) its being given up before its end was seen: traced
// and noted once.
void ReportEnd(TransportState& t, const CommandOutcome* o) {
    if (std::exchange(t.endReported, true)) return;
    Trace* trace = rt().trace;
    if (o && trace) trace->CmdEnd(t.startedRequest, *o, t.asyncState);
    if (!o && trace) trace->CmdAbandoned(t.startedRequest);
    o ? NoteCommandOutcome(t.startedRequest, *o, t.openNode)
      : NoteAbandoned(t.startedRequest, t.openNode);
}

// A no-wait command's end, judged as a waiting one, or its being given up.
void StartedEnds(const CommandOutcome* o) {
    TransportState& t = g_transport;
    t.started = false;
    const int ok = o ? Judge(*o) : 0;
    Settled(o ? *o : CommandOutcome{}, ok);
    t.asyncState = ok ? 1 : 2;
    ReportEnd(t, o);
}

// A no-wait command still running owns the node and the record: it ends, or is given up, before
// anything else happens on the node.
void Idle() {
    if (!g_transport.started) return;
    CommandOutcome o;
    Backend* b = ActiveBackend();
    StartedEnds(b && b->Finish(o) ? &o : nullptr);
}

int Run(int wait, uint8_t direction, const uint8_t* cdb, void* buffer, uint32_t length) {
    TransportState& t = g_transport;
    Idle();
    t.lastCommandError = CommandErrorRecord{};
    const CommandRequest r{.cdb = cdb,
                           .cdbLength = static_cast<uint8_t>(CdbLengthForOpcode(cdb[0])),
                           .direction = ResolveDirection(cdb[0], direction, length),
                           .data = buffer,
                           .length = length,
                           .timeoutMs = kCommandTimeoutMs,
                           .wait = wait != 0};
    // Bytes 0 to 11 of the record: the CDB area of the back end's request as the command goes
    // out. The sg command block keeps what earlier commands left past this one's own bytes.
    std::memcpy(t.useAspi ? t.cdbArea : t.lastCommandError.cdb, cdb, r.cdbLength);
    if (t.useAspi) std::memcpy(t.lastCommandError.cdb, t.cdbArea, sizeof t.cdbArea);

    CommandOutcome o;
    int result = 0;
    Backend* b = ActiveBackend();
    {
        LoweredPriority lowered;  // unless a DownLoad or scan holds it lowered already
        // Nothing goes to a drive that has vanished, nor to no drive at all.
        if (b && t.openDevice >= 0 && !t.vanished) {
            if (r.wait)
                b->Execute(r, o);
            else
                result = b->Start(r, o) ? 1 : 0;
        }
    }
    if (r.wait || !result) {
        if (r.wait) result = Judge(o);
        Settled(o, result);
    } else {
        t.started = true;
        t.endReported = false;
        t.asyncState = 0;
        t.startedRequest = r;
        std::memcpy(t.startedCdb, cdb, r.cdbLength);
        t.startedRequest.cdb = t.startedCdb;
    }
    Report(r, o, result, t.openNode);
    return result;
}

}  // namespace

DriveRecord (&driveTable)[kDriveTableCapacity] = g_transport.driveTable;
int& driveCount = g_transport.driveCount;
CommandErrorRecord& lastCommandError = g_transport.lastCommandError;

LoweredPriority::LoweredPriority() {
    if (g_transport.priorityHolds++ == 0 && rt().priority) rt().priority->SetLowest();
}

LoweredPriority::~LoweredPriority() {
    if (g_transport.priorityHolds > 0 && --g_transport.priorityHolds == 0 && rt().priority)
        rt().priority->SetNormal();
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
    return kDirections[opcode];
}

int CdbLengthForOpcode(uint8_t opcode) {
    return opcode <= 0x1F ? 6 : opcode <= 0x7F ? 10 : 12;
}

int InitTransport() {
    // The open node is forgotten, not closed: callers close it first.
    g_transport.openDevice = -1;
    g_transport.aspiLibrary = false;
    g_transport.useAspi = rt().transport == TransportChoice::Sg;
    Backend* b = ActiveBackend();
    if (!b || !b->Load()) return 0;
    g_transport.aspiLibrary = g_transport.useAspi;
    return 1;
}

int IsAspiMode() {
    return g_transport.useAspi ? 1 : 0;
}

int EnumerateDrives(int capacity, DriveRecord* table) {
    TransportState& t = g_transport;
    UnopenedNodes().clear();
    Backend* b = ActiveBackend();
    if (!b) return 0;
    Idle();
    std::memset(t.cdbArea, 0, sizeof t.cdbArea);  // the sg command block is set up afresh
    t.blockState = 0;
    return b->Enumerate(capacity, table, &Report);
}

int OpenDrive(DriveRecord& record) {
    CloseDrive();
    TransportState& t = g_transport;
    t.openNode = record.node;
    t.heldBy.clear();
    t.vanished = false;
    std::memset(t.cdbArea, 0, sizeof t.cdbArea);
    t.blockState = 0;
    Backend* b = ActiveBackend();
    if (!b) return 0;
    std::string held;
    const int handle = OpenTwice(
        record.node, false, [&](int& err, std::string& h) { return b->Open(record.node, err, h); },
        held);
    if (handle < 0) {
        t.heldBy = held;
        return 0;
    }
    t.openDevice = handle;
    record.deviceHandle = handle;
    t.currentDrive = &record;
    return 1;
}

void CloseDrive() {
    TransportState& t = g_transport;
    Backend* b = ActiveBackend();
    if (!b) return;
    CommandOutcome o;
    if (t.started && b->Poll(o)) StartedEnds(&o);
    b->Close();
    if (t.started) StartedEnds(nullptr);
    t.openDevice = -1;
}

void ReleaseAspiLibrary() {
    if (!g_transport.aspiLibrary) return;
    if (g_aspi) g_aspi->Unload();
    g_transport.aspiLibrary = false;
}

int ExecCommand(const uint8_t* cdb, void* buffer, uint32_t length) {
    if (cdb[0] != 0xCF) return Run(1, XFER_BY_OPCODE, cdb, buffer, length);
    // Refused: nothing is sent, the priority is not touched, the record stays all zero.
    Idle();
    g_transport.lastCommandError = CommandErrorRecord{};
    Report({.cdb = cdb, .cdbLength = 12, .length = length}, CommandOutcome{}, 0,
           g_transport.openNode);
    return 0;
}

int ExecCommandEx(int wait, uint8_t direction, const uint8_t* cdb, void* buffer, uint32_t length) {
    return Run(wait, direction, cdb, buffer, length);
}

int ExecCommand64K(const uint8_t* cdb, void* buffer) {
    return buffer ? ExecCommand(cdb, buffer, kLength64K) : ExecCommand(cdb, nullptr, 0);
}

int TestUnitReady() {
    uint8_t cdb[12] = {};
    return ExecCommand(cdb, nullptr, 0);
}

int PollCommand() {
    TransportState& t = g_transport;
    Backend* b = ActiveBackend();
    if (!b) return 2;
    CommandOutcome o;
    if (t.started && !b->Poll(o)) return 0;
    if (t.started) StartedEnds(&o);
    if (!t.useAspi) return t.asyncState;
    if (t.blockState == 2) {
        // The sg command block still holds the last command's bytes and what it ended with.
        t.lastCommandError = CommandErrorRecord{};
        std::memcpy(t.lastCommandError.cdb, t.cdbArea, sizeof t.cdbArea);
        Judge(t.lastOutcome);
    }
    return t.blockState;
}

uint32_t LastCommandResidual() {
    return g_transport.lastOutcome.residual;
}

void GiveUpCommand() {
    if (g_transport.started) ReportEnd(g_transport, nullptr);
}

uint32_t TransportMaxTransfer() {
    Backend* b = ActiveBackend();
    return b ? b->MaxTransfer() : 0;
}

bool TransportMaySendAnyCommand(std::string& why) {
    TransportState& t = g_transport;
    if (!t.heldBy.empty()) {
        why = HeldDriveText(t.heldBy, t.useAspi && t.heldBy == t.openNode);
        return false;
    }
    Backend* b = ActiveBackend();
    if (!b) {
        why = "no transport";
        return false;
    }
    return b->MaySendAnyCommand(why);
}

void TransportQuiesce() {
    if (Backend* b = ActiveBackend()) b->Quiesce();
}
