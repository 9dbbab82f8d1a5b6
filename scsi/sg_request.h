// Pieces of an sg_io_hdr request that both Linux back ends share.
#pragma once

#include <scsi/sg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "scsi/scsi_types.h"
#include "scsi/transport.h"

// The kernel's transfer direction for a resolved direction (XFER_IN, XFER_OUT, XFER_NONE, or 0
// for an opcode outside the table).
inline int SgDirection(uint8_t resolved, uint32_t length) {
    if (length == 0) return SG_DXFER_NONE;
    switch (resolved) {
        case XFER_IN:
            return SG_DXFER_FROM_DEV;
        case XFER_OUT:
            return SG_DXFER_TO_DEV;
        case XFER_NONE:
            return SG_DXFER_NONE;
        default:
            return SG_DXFER_TO_FROM_DEV;  // outside the table: let the drive decide
    }
}

// The request reached the drive and came back, so that only the SCSI status can tell of a
// failure: the call worked and neither the host nor the driver reports an error.
inline bool SgTransportOk(int callResult, const sg_io_hdr_t& h) {
    if (callResult != 0) return false;
    if ((h.info & SG_INFO_OK_MASK) == SG_INFO_OK) return true;
    // Driver byte: the low three bits are the error code; 0x08 only says sense is present.
    return h.host_status == 0 && (h.driver_status & 0x07) == 0;
}

// Sense key (byte 2 whole), ASC and ASCQ; zero where the kernel wrote no sense. Only bytes the
// drive vouched for count: no more than the kernel says it wrote, nor than the request's sense
// area holds, nor (fixed format) than the sense's own additional length covers. Descriptor-format
// sense carries the three in bytes 1 to 3.
inline void SgSense(const sg_io_hdr_t& h, const uint8_t* sense, uint8_t& key, uint8_t& asc,
                    uint8_t& ascq) {
    key = asc = ascq = 0;
    size_t n = std::min<size_t>(h.sb_len_wr, h.mx_sb_len);
    if (!sense || n == 0) return;
    const uint8_t format = sense[0] & 0x7F;
    if (format == 0x72 || format == 0x73) {
        key = n > 1 ? sense[1] & 0x0F : 0;
        asc = n > 2 ? sense[2] : 0;
        ascq = n > 3 ? sense[3] : 0;
        return;
    }
    if ((format == 0x70 || format == 0x71) && n > 7) n = std::min<size_t>(n, 8u + sense[7]);
    key = n > 2 ? sense[2] : 0;
    asc = n > 12 ? sense[12] : 0;
    ascq = n > 13 ? sense[13] : 0;
}

// What the kernel did with a request, for the trace.
inline SentCommand SgSeen(const sg_io_hdr_t& h, int callResult) {
    SentCommand s;
    s.cdbLength = h.cmd_len <= 12 ? h.cmd_len : 12;
    if (h.cmdp) std::memcpy(s.cdb, h.cmdp, static_cast<size_t>(s.cdbLength));
    s.dir = h.dxfer_direction == SG_DXFER_FROM_DEV ? "in"
            : h.dxfer_direction == SG_DXFER_TO_DEV ? "out"
            : h.dxfer_direction == SG_DXFER_NONE   ? "none"
                                                   : "unspecified";
    s.length = h.dxfer_len;
    if (callResult == 0) {
        s.scsiStatus = h.status;
        s.hostStatus = static_cast<uint8_t>(h.host_status);
        SgSense(h, h.sbp, s.senseKey, s.asc, s.ascq);
    }
    return s;
}

// A fresh request for one command: the CDB and sense areas are the caller's, as is the buffer,
// which goes to the kernel directly.
inline void SgPrepare(sg_io_hdr_t& hdr, uint8_t* cdbArea, int cdbLength, uint8_t* senseArea,
                      uint8_t resolved, void* buffer, uint32_t length, unsigned timeoutMs) {
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SgDirection(resolved, length);
    hdr.cmd_len = static_cast<unsigned char>(cdbLength);
    hdr.mx_sb_len = 16;
    // No data phase means no data length: the block layer refuses a length without direction.
    const bool data = hdr.dxfer_direction != SG_DXFER_NONE;
    hdr.dxfer_len = data ? length : 0;
    hdr.dxferp = data ? buffer : nullptr;
    hdr.cmdp = cdbArea;
    hdr.sbp = senseArea;
    hdr.timeout = timeoutMs;
}
