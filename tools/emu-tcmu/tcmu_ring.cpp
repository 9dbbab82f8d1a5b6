#include "tools/emu-tcmu/tcmu_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "scsi/scsi_types.h"
#include "scsi/transport.h"
#include "tools/emu-tcmu/tcmu_abi.h"

namespace {

constexpr uint8_t kCheckCondition = 0x02;
// Reading the command took the target past its area: INTERNAL TARGET FAILURE.
constexpr uint8_t kHardwareError = 0x04, kInternalFailure = 0x44;

template <typename T>
T Read(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
void Write(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

uint32_t LoadAcquire(const uint8_t* p) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
}
void StoreRelease(uint8_t* p, uint32_t v) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), v, __ATOMIC_RELEASE);
}

// [offset, offset + length) lies inside [0, size).
bool Inside(uint64_t offset, uint64_t length, size_t size) {
    return offset <= size && length <= size - offset;
}

const char* PhaseName(DataPhase p) {
    switch (p) {
        case DataPhase::In:
            return "in";
        case DataPhase::Out:
            return "out";
        case DataPhase::Unknown:
            return "unknown";
        case DataPhase::None:
            break;
    }
    return "none";
}

}  // namespace

size_t LioCdbLength(uint8_t opcode) {
    static constexpr size_t kByGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    return kByGroup[opcode >> 5];
}

DataPhase PhaseFor(uint8_t opcode) {
    constexpr uint8_t kRomTagRead = 0xCF;  // outside the host's opcode table, data in
    if (opcode == kRomTagRead) return DataPhase::In;
    switch (LookupDirection(opcode)) {
        case XFER_IN:
            return DataPhase::In;
        case XFER_OUT:
            return DataPhase::Out;
        default:
            return DataPhase::None;
    }
}

std::string DescribeServed(const ServedCommand& c) {
    std::string cdb;
    char hex[4];
    for (uint8_t b : c.cdb) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        cdb += hex;
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "op=%02X cdb=%s dir=%s len=%zu moved=%zu status=%02X sense=%02X/%02X/%02X%s",
                  c.cdb.empty() ? 0 : c.cdb[0], cdb.c_str(), PhaseName(c.phase), c.length, c.moved,
                  c.status, c.senseKey, c.asc, c.ascq, c.broken ? " broken" : "");
    return line;
}

TcmuRing::TcmuRing(uint8_t* area, size_t size) : area_(area), size_(size) {}

bool TcmuRing::Valid(std::string& why) const {
    if (size_ < kTcmu.mailboxSize) {
        why = "the mapped area is smaller than the mailbox";
        return false;
    }
    auto version = Read<uint16_t>(area_ + kTcmu.versionAt);
    if (version != kTcmu.mailboxVersion) {
        why = "mailbox version " + std::to_string(version) + ", expected " +
              std::to_string(kTcmu.mailboxVersion);
        return false;
    }
    auto off = Read<uint32_t>(area_ + kTcmu.ringOffsetAt);
    auto size = Read<uint32_t>(area_ + kTcmu.ringSizeAt);
    if (size == 0 || !Inside(off, size, size_)) {
        why = "the command ring lies outside the mapped area";
        return false;
    }
    return true;
}

bool TcmuRing::DataSpans(const uint8_t* entry, size_t entryLength, std::vector<Span>& spans) const {
    auto count = Read<uint32_t>(entry + kTcmu.iovCountAt);
    if (count > (entryLength - std::min(entryLength, kTcmu.iovsAt)) / kTcmu.iovSize) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* iov = entry + kTcmu.iovsAt + i * kTcmu.iovSize;
        auto offset = Read<uint64_t>(iov + kTcmu.iovBaseAt);  // offsets into the area
        auto length = Read<uint64_t>(iov + kTcmu.iovLengthAt);
        if (!Inside(offset, length, size_)) return false;
        spans.push_back({area_ + offset, static_cast<size_t>(length)});
    }
    return true;
}

void TcmuRing::Serve(uint8_t* entry, size_t entryLength, EmulatedDrive& drive,
                     ServedCommand& served, bool& hang) {
    hang = false;
    std::vector<Span> spans;
    auto cdbOffset = Read<uint64_t>(entry + kTcmu.cdbOffsetAt);
    bool ok = entryLength >= kTcmu.iovsAt && Inside(cdbOffset, 1, size_) &&
              Inside(cdbOffset, LioCdbLength(area_[cdbOffset]), size_) &&
              DataSpans(entry, entryLength, spans);
    DriveReply reply;
    if (!ok) {
        served.broken = true;
        reply.status = kCheckCondition;
        reply.senseKey = kHardwareError;
        reply.asc = kInternalFailure;
    } else {
        const uint8_t* cdb = area_ + cdbOffset;
        served.cdb.assign(cdb, cdb + LioCdbLength(cdb[0]));
        served.phase = PhaseFor(cdb[0]);
        for (const Span& s : spans) served.length += s.length;
        std::vector<uint8_t> out;
        if (served.phase == DataPhase::Out) {
            out.reserve(served.length);
            for (const Span& s : spans) out.insert(out.end(), s.data, s.data + s.length);
        }
        size_t inCapacity = served.phase == DataPhase::In ? served.length : 0;
        reply = drive.Execute(served.cdb.data(), served.cdb.size(),
                              out.empty() ? nullptr : out.data(), out.size(), inCapacity);
        if (reply.hang) {
            hang = true;
            return;
        }
        if (served.phase == DataPhase::Out) served.moved = reply.outUsed;
        // What the drive gives goes into the buffers in order; the rest keeps what was there.
        size_t given = std::min(reply.dataIn.size(), inCapacity);
        for (size_t i = 0, done = 0; i < spans.size() && done < given; ++i) {
            size_t n = std::min(spans[i].length, given - done);
            std::memcpy(spans[i].data, reply.dataIn.data() + done, n);
            done += n;
        }
        if (served.phase == DataPhase::In) served.moved = given;
    }
    served.status = reply.status;
    served.senseKey = reply.senseKey;
    served.asc = reply.asc;
    served.ascq = reply.ascq;

    // The answer overlays the request: everything of the request has been read by now.
    Write<uint8_t>(entry + kTcmu.statusAt, reply.status);
    std::memset(entry + kTcmu.senseAt, 0, kTcmu.senseSize);
    if (reply.status == kCheckCondition) {
        auto sense = FixedSense(reply.senseKey, reply.asc, reply.ascq);
        std::memcpy(entry + kTcmu.senseAt, sense.data(), sense.size());
    }
    // Only the bytes the drive gave reach the host's buffer, as with a real drive.
    auto flags = Read<uint16_t>(area_ + kTcmu.flagsAt);
    if ((flags & kTcmu.capReadLength) && served.phase == DataPhase::In) {
        entry[kTcmu.uflagsAt] |= kTcmu.uflagReadLength;
        Write<uint32_t>(entry + kTcmu.readLengthAt, static_cast<uint32_t>(served.moved));
    }
}

int TcmuRing::ServePending(EmulatedDrive& drive,
                           const std::function<void(const ServedCommand&)>& log) {
    if (stalled_) return 0;
    const auto ringOffset = Read<uint32_t>(area_ + kTcmu.ringOffsetAt);
    const auto ringSize = Read<uint32_t>(area_ + kTcmu.ringSizeAt);
    uint8_t* ring = area_ + ringOffset;
    const uint32_t head = LoadAcquire(area_ + kTcmu.headAt) % ringSize;
    uint32_t tail = Read<uint32_t>(area_ + kTcmu.tailAt) % ringSize;
    int answered = 0;
    while (tail != head) {
        uint8_t* entry = ring + tail;
        auto lenOp = Read<uint32_t>(entry);
        size_t length = lenOp & ~kTcmu.opMask;
        uint32_t op = lenOp & kTcmu.opMask;
        if (length < kTcmu.headerSize || length > ringSize - tail) {
            stalled_ = true;  // the ring cannot be walked past this entry
            break;
        }
        if (op == kTcmu.opCmd) {
            ServedCommand served;
            bool hang = false;
            Serve(entry, length, drive, served, hang);
            if (hang) {
                stalled_ = true;
                break;
            }
            ++answered;
            if (log) log(served);
        } else if (op != kTcmu.opPad && op != kTcmu.opTmr) {
            entry[kTcmu.uflagsAt] |= kTcmu.uflagUnknownOp;
        }
        tail = (tail + static_cast<uint32_t>(length)) % ringSize;
        StoreRelease(area_ + kTcmu.tailAt, tail);
    }
    return answered;
}
