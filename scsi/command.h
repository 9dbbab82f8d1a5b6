// One SCSI command as the transport hands it to a back end, and what became of it. Plain values:
// the transport fills the request, a back end carries it out and fills the outcome, and the
// transport alone turns the outcome into a result, the error record, the trace and the notes.
#pragma once

#include <cstdint>

#include "scsi/scsi_types.h"

struct CommandRequest {
    const uint8_t* cdb = nullptr;  // cdbLength bytes go to the drive
    uint8_t cdbLength = 0;         // 6, 10 or 12
    uint8_t direction = 0;         // XFER_IN, XFER_OUT, XFER_NONE; 0: outside the opcode table
    void* data = nullptr;          // the caller's buffer, handed to the kernel as it is
    uint32_t length = 0;           // the caller's length (the host length)
    uint32_t timeoutMs = 0;        // the kernel's limit for it
    bool wait = true;

    // Bytes of the data phase: none without a direction or a length.
    uint32_t Moving() const { return direction == XFER_NONE ? 0 : length; }
};

struct CommandOutcome {
    bool sent = false;                        // it reached the kernel
    int err = 0;                              // errno of a kernel call that failed
    uint8_t status = 0;                       // SCSI status
    uint8_t host = 0;                         // host status (DID_*)
    uint8_t driver = 0;                       // driver status (DRIVER_*)
    uint8_t sense[32] = {};                   // as the kernel wrote it
    uint8_t senseLength = 0;                  // bytes of it the drive vouched for
    uint8_t senseKey = 0, asc = 0, ascq = 0;  // sense byte 2 taken whole, bytes 12 and 13
    uint32_t residual = 0;       // bytes of the data phase that did not move (the kernel's resid)
    uint32_t gaveUpAfterMs = 0;  // the program stopped waiting for its end after this long

    // The command went to the drive and came back: only the drive's status can tell of a failure.
    bool Delivered() const {
        return sent && err == 0 && gaveUpAfterMs == 0 && host == 0 && (driver & 0x07) == 0;
    }
};
