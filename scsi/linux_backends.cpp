#include "scsi/linux_backends.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "scsi/kernel_notes.h"
#include "scsi/transport.h"
#include "system/runtime.h"

void TransportSet::Plug() {
    SetBackends(passThrough_.get(), aspi_.get());
}

TransportSet::~TransportSet() {
    Backend* active = ActiveBackend();
    if (active == passThrough_.get() || active == aspi_.get()) SetBackends(nullptr, nullptr);
}

void UseLinuxBackends() {
    static TransportSet set;
    set.Plug();
}

void SgBlock::Prepare(const CommandRequest& r) {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
    std::memcpy(cdb, r.cdb, r.cdbLength);
    hdr.interface_id = 'S';
    // An opcode outside the table lets the drive decide.
    const bool data = r.length && r.direction != XFER_NONE;
    hdr.dxfer_direction = !data                     ? SG_DXFER_NONE
                          : r.direction == XFER_IN  ? SG_DXFER_FROM_DEV
                          : r.direction == XFER_OUT ? SG_DXFER_TO_DEV
                                                    : SG_DXFER_TO_FROM_DEV;
    hdr.cmd_len = r.cdbLength;
    hdr.mx_sb_len = 16;
    // No data phase means no data length: the block layer refuses a length without direction.
    hdr.dxfer_len = data ? r.length : 0;
    hdr.dxferp = data ? r.data : nullptr;
    hdr.cmdp = cdb;
    hdr.sbp = sense;
    hdr.timeout = r.timeoutMs;
}

void SgBlock::Read(int callResult, int err, CommandOutcome& o) const {
    o.sent = true;
    if (callResult != 0) {
        o.err = err;
        return;
    }
    o.status = hdr.status;
    o.host = static_cast<uint8_t>(hdr.host_status);
    o.driver = static_cast<uint8_t>(hdr.driver_status);
    o.residual = static_cast<uint32_t>(std::clamp<int>(hdr.resid, 0, hdr.dxfer_len));
    // Only sense bytes the drive vouched for count: no more than the kernel says it wrote, nor
    // than the request's area holds, nor (fixed format) than the sense's own additional length
    // covers. Descriptor format carries key, ASC and ASCQ in bytes 1 to 3.
    size_t n = std::min<size_t>({hdr.sb_len_wr, hdr.mx_sb_len, sizeof sense});
    const uint8_t format = sense[0] & 0x7F;
    const bool descriptor = format == 0x72 || format == 0x73;
    if ((format == 0x70 || format == 0x71) && n > 7) n = std::min<size_t>(n, 8u + sense[7]);
    std::memcpy(o.sense, sense, n);
    o.senseLength = static_cast<uint8_t>(n);
    const size_t at[3] = {descriptor ? 1u : 2u, descriptor ? 2u : 12u, descriptor ? 3u : 13u};
    uint8_t* into[3] = {&o.senseKey, &o.asc, &o.ascq};
    for (int i = 0; i < 3; ++i) *into[i] = n > at[i] ? sense[at[i]] : 0;
    if (descriptor) o.senseKey &= 0x0F;
}

void FillRecord(DriveRecord& record, const DeviceNode& node, int number, const uint8_t* inquiry) {
    record = DriveRecord{};
    char label[8];
    std::snprintf(label, sizeof label, "%-2d", number % 100);
    record.label[0] = label[0];
    record.label[1] = label[1];
    record.node = node.path;
    std::tie(record.host, record.channel, record.target, record.lunNumber) =
        std::tie(node.host, node.channel, node.target, node.lun);
    if (inquiry) std::memcpy(record.inquiry, inquiry, sizeof record.inquiry);
}

std::vector<DeviceNode> ListedNodes(DevicePort& port, NodeClass cls) {
    if (rt().deviceFilter.empty()) return port.ListNodes(cls);
    std::vector<DeviceNode> nodes;
    for (const std::string& path : rt().deviceFilter) {
        DeviceNode n;
        if (!port.Describe(path, cls, n))
            NoteIgnoredDevice(path, port.WhyNoNode(path, cls));
        else if (std::none_of(nodes.begin(), nodes.end(),
                              [&](const DeviceNode& m) { return m.path == n.path; }))
            nodes.push_back(n);
    }
    return nodes;
}
