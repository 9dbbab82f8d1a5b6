// Plain data shared by the transport, the identification and the procedures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Direction codes for ExecCommandEx.
constexpr uint8_t XFER_IN = 0x10;
constexpr uint8_t XFER_OUT = 0x11;
constexpr uint8_t XFER_NONE = 0x12;
constexpr uint8_t XFER_BY_OPCODE = 0xFF;

constexpr int kDriveTableCapacity = 10;
constexpr uint32_t kLength64K = 65536;

// One enumerated CD/DVD device.
struct DriveRecord {
    intptr_t deviceHandle = 0;  // file descriptor stored when opened; never cleared on close
    uint8_t pathId = 0;
    uint8_t adapterId = 0;  // sg: index of the (host, channel) pair, see README
    uint8_t targetId = 0;
    uint8_t lun = 0;
    char label[2] = {0, 0};  // no terminator of its own
    uint8_t inquiry[56] = {};
    uint8_t inquiryEnd = 0;  // keeps inquiry[8..55] a terminated 48-character string
    // Linux addressing: the device node that Open uses, and the SCSI address it sits at.
    std::string node;
    int host = -1;
    int channel = -1;
    int target = -1;
    int lunNumber = -1;

    // The text from INQUIRY byte 8 to the end of the record (at most 48 characters).
    const char* IdentityText() const { return reinterpret_cast<const char*>(inquiry + 8); }
};

// The error record of the last command: 20 bytes exactly.
struct CommandErrorRecord {
    uint8_t cdb[12];
    uint8_t senseKey;  // sense byte 2, taken whole
    uint8_t asc;       // sense byte 12
    uint8_t ascq;      // sense byte 13
    uint8_t reserved[4];
    uint8_t status;  // sr: SCSI status; sg: host (adapter) status

    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this); }
};
static_assert(sizeof(CommandErrorRecord) == 20, "error record is 20 bytes");
static_assert(offsetof(CommandErrorRecord, senseKey) == 12);
static_assert(offsetof(CommandErrorRecord, status) == 19);
