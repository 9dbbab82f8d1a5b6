// The porting contract of a back end: how the transport (transport.h) reaches the drives on one
// kind of node. A back end only carries requests out and says what became of them; the
// transport alone resolves directions and CDB lengths, retries opens, writes the error record,
// and feeds the trace, the notes and the vanished-drive watch. One request at a time: the
// transport never hands over a second while a started one runs, and lets it end (Finish) or
// gives it up (Close) first.
#pragma once

#include <string>

#include "scsi/command.h"

// Where a back end's own commands (the listing INQUIRY) are reported, with their result and node.
using CommandReport = void (*)(const CommandRequest&, const CommandOutcome&, int result,
                               const std::string& node);

class Backend {
  public:
    virtual ~Backend() = default;

    // InitTransport: 1 when the back end's driver is there, 0 once it has said why not.
    virtual int Load() = 0;
    virtual void Unload() {}
    // Lists the CD/DVD devices into `table`, as the back end's rules say; the count, 0 when none.
    virtual int Enumerate(int capacity, DriveRecord* table, CommandReport report) = 0;
    // Opens `node` for a download, held against other programs (DevicePort::OpenExclusive): a
    // handle, or -1 with errno in `err` and, for EBUSY, the node another program holds in `held`.
    virtual int Open(const std::string& node, int& err, std::string& held) = 0;
    // Closes the node; a started request still running is given up, never waited for: its end
    // reaches nothing the program uses.
    virtual void Close() = 0;

    // Carries the request out and waits for its end. Nothing is sent without an open node.
    virtual void Execute(const CommandRequest& request, CommandOutcome& outcome) = 0;
    // Starts the request without waiting; false, with the outcome saying why, when it did not.
    virtual bool Start(const CommandRequest& request, CommandOutcome& outcome) = 0;
    // The started request: false while it runs, true once it has ended, its outcome filled and
    // its data in the request's buffer.
    virtual bool Poll(CommandOutcome& outcome) = 0;
    // Before the next request: waits for the started one to end (true, as Poll), or gives it up
    // (false).
    virtual bool Finish(CommandOutcome& outcome) = 0;

    // Largest single transfer the open node carries (bytes); 0 when nothing is open.
    virtual uint32_t MaxTransfer() = 0;
    // Can this process send WRITE BUFFER and vendor opcodes on the open node? When not, why.
    virtual bool MaySendAnyCommand(std::string& why) = 0;
    // A virtual-clock run calls this after each advance: let a started request that is due end.
    virtual void Quiesce() {}
};
