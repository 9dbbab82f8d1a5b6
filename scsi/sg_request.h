// What both Linux back ends share: an sg_io_hdr request made from a CommandRequest, the one place
// that reads the kernel's answer into a CommandOutcome, and the pieces of listing a node.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <vector>

#include "scsi/command.h"
#include "system/ports.h"

// One request as the kernel takes it: the header and its CDB and sense areas. The caller's
// buffer goes to the kernel directly.
struct SgBlock {
    sg_io_hdr_t hdr{};
    uint8_t cdb[16] = {};
    uint8_t sense[32] = {};

    // A fresh request for `r`.
    void Prepare(const CommandRequest& r);
    // What the kernel answered: `callResult` is the call's (0, or -1 with errno in err).
    void Read(int callResult, int err, CommandOutcome& outcome) const;
};

// The kernel's transfer direction for a request's direction and length: an opcode outside the
// table lets the drive decide.
int SgDirection(uint8_t direction, uint32_t length);

// A record for a listed node, labelled `number` ("%-2d", the last two digits above 99), with the
// first 56 bytes of its INQUIRY data when it answered.
void FillRecord(DriveRecord& record, const DeviceNode& node, int number, const uint8_t* inquiry);

// The nodes --device names, in its order and each once; the others are noted and left out.
std::vector<DeviceNode> GivenNodes(DevicePort& port, NodeClass cls);
