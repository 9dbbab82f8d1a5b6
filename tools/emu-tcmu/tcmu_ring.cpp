#include "tools/emu-tcmu/tcmu_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "scsi/scsi_types.h"
#include "scsi/transport.h"
#include "tools/emu-tcmu/tcmu_abi.h"

namespace {

constexpr uint8_t kCheckCondition = 0x02;
// Reading the command took the target past its area: INTERNAL TARGET FAILURE.
constexpr uint8_t kHardwareError = 0x04, kInternalFailure = 0x44;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

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
        case XFER_NONE:
            return DataPhase::None;
        default:
            return DataPhase::Unknown;
    }
}

std::string DescribeServed(const ServedCommand& c) {
    std::string cdb;
    char hex[4];
    for (uint8_t b : c.cdb) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        cdb += hex;
    }
    char line[192];
    std::snprintf(line, sizeof line,
                  "op=%02X cdb=%s dir=%s len=%zu moved=%zu status=%02X sense=%02X/%02X/%02X",
                  c.cdb.empty() ? 0 : c.cdb[0], cdb.c_str(), PhaseName(c.phase), c.length, c.moved,
                  c.status, c.senseKey, c.asc, c.ascq);
    std::string s = line;
    if (c.busyMs) s += " busy=" + std::to_string(c.busyMs);
    if (c.hang) s += " hang";
    if (c.broken) s += " broken";
    return s;
}

TcmuRing::TcmuRing(uint8_t* area, size_t size) : area_(area), size_(size) {
    if (size_ < kTcmu.mailboxSize) return;
    auto flags = Read<uint16_t>(area_ + kTcmu.flagsAt);
    outOfOrder_ = flags & kTcmu.capOutOfOrder;
    readLength_ = flags & kTcmu.capReadLength;
    next_ = Read<uint32_t>(area_ + kTcmu.tailAt);
}

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

uint32_t TcmuRing::RingSize() const {
    return Read<uint32_t>(area_ + kTcmu.ringSizeAt);
}

uint8_t* TcmuRing::Ring() const {
    return area_ + Read<uint32_t>(area_ + kTcmu.ringOffsetAt);
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

void TcmuRing::Run(uint8_t* entry, size_t entryLength, EmulatedDrive& drive, uint64_t nowMs,
                   Answer& answer) {
    ServedCommand& served = answer.served;
    answer.id = Read<uint16_t>(entry + kTcmu.cmdIdAt);
    answer.dueMs = nowMs;
    std::vector<Span> spans;
    auto cdbOffset = Read<uint64_t>(entry + kTcmu.cdbOffsetAt);
    if (entryLength < kTcmu.iovsAt || !Inside(cdbOffset, 1, size_) ||
        !Inside(cdbOffset, LioCdbLength(area_[cdbOffset]), size_) ||
        !DataSpans(entry, entryLength, spans)) {
        served.broken = true;
        served.status = kCheckCondition;
        served.senseKey = kHardwareError;
        served.asc = kInternalFailure;
        return;
    }
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
    DriveReply reply =
        drive.Execute(served.cdb.data(), served.cdb.size(), out.empty() ? nullptr : out.data(),
                      out.size(), inCapacity, nowMs);
    if (reply.hang) {
        served.hang = true;
        answer.dueMs = kNever;
        return;
    }
    // What the drive gives goes into the buffers in order; the rest keeps what was there. The
    // kernel reads them only once the answer is handed back.
    size_t given = std::min(reply.dataIn.size(), inCapacity);
    for (size_t i = 0, done = 0; i < spans.size() && done < given; ++i) {
        size_t n = std::min(spans[i].length, given - done);
        std::memcpy(spans[i].data, reply.dataIn.data() + done, n);
        done += n;
    }
    served.moved = served.phase == DataPhase::In ? given : reply.outUsed;
    served.status = reply.status;
    served.senseKey = reply.senseKey;
    served.asc = reply.asc;
    served.ascq = reply.ascq;
    served.busyMs = reply.busyMs;
    answer.dueMs = nowMs + reply.busyMs;
}

void TcmuRing::Give(const Answer& answer) {
    const uint32_t ringSize = RingSize();
    uint8_t* ring = Ring();
    uint32_t tail = Read<uint32_t>(area_ + kTcmu.tailAt) % ringSize;
    // Pads and task notices before the oldest command are handed back as they are. Every entry
    // up to next_ has been read, and at least one command among them waits for this answer.
    uint8_t* slot = ring + tail;
    auto lenOp = Read<uint32_t>(slot);
    while ((lenOp & kTcmu.opMask) != kTcmu.opCmd) {
        tail = (tail + (lenOp & ~kTcmu.opMask)) % ringSize;
        slot = ring + tail;
        lenOp = Read<uint32_t>(slot);
    }
    // The oldest command's entry carries this answer, whichever command it belongs to: the
    // kernel finds the command by its id. The answer overlays the request, read long since.
    const ServedCommand& s = answer.served;
    Write<uint16_t>(slot + kTcmu.cmdIdAt, answer.id);
    bool readLength = readLength_ && s.phase == DataPhase::In;
    // Only the bytes the drive gave reach the host's buffer, as with a real drive.
    slot[kTcmu.uflagsAt] = readLength ? kTcmu.uflagReadLength : 0;
    if (readLength) Write<uint32_t>(slot + kTcmu.readLengthAt, static_cast<uint32_t>(s.moved));
    Write<uint8_t>(slot + kTcmu.statusAt, s.status);
    std::memset(slot + kTcmu.senseAt, 0, kTcmu.senseSize);
    if (s.status == kCheckCondition) {
        auto sense = FixedSense(s.senseKey, s.asc, s.ascq);
        std::memcpy(slot + kTcmu.senseAt, sense.data(), sense.size());
    }
    tail = (tail + (lenOp & ~kTcmu.opMask)) % ringSize;
    StoreRelease(area_ + kTcmu.tailAt, tail);
}

int TcmuRing::Serve(EmulatedDrive& drive, uint64_t nowMs,
                    const std::function<void(const ServedCommand&)>& log) {
    const uint32_t ringSize = RingSize();
    uint8_t* ring = Ring();
    const uint32_t head = LoadAcquire(area_ + kTcmu.headAt) % ringSize;
    while (!broken_ && next_ != head) {
        uint8_t* entry = ring + next_;
        auto lenOp = Read<uint32_t>(entry);
        size_t length = lenOp & ~kTcmu.opMask;
        if (length < kTcmu.headerSize || length > ringSize - next_) {
            broken_ = true;  // the ring cannot be walked past this entry
            break;
        }
        uint32_t op = lenOp & kTcmu.opMask;
        if (op == kTcmu.opCmd) {
            Answer answer;
            Run(entry, length, drive, nowMs, answer);
            if (log) log(answer.served);
            waiting_.push_back(std::move(answer));
        } else if (op != kTcmu.opPad && op != kTcmu.opTmr) {
            entry[kTcmu.uflagsAt] |= kTcmu.uflagUnknownOp;
        }
        next_ = (next_ + static_cast<uint32_t>(length)) % ringSize;
    }

    int given = 0;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->dueMs > nowMs) {
            if (!outOfOrder_) break;  // the kernel takes answers in order only
            ++it;
            continue;
        }
        Give(*it);
        it = waiting_.erase(it);
        ++given;
    }
    return given;
}

std::optional<uint64_t> TcmuRing::NextDue() const {
    std::optional<uint64_t> next;
    for (const Answer& a : waiting_) {
        if (a.dueMs == kNever) {
            if (!outOfOrder_) break;
            continue;
        }
        next = next ? std::min(*next, a.dueMs) : a.dueMs;
        if (!outOfOrder_) break;
    }
    return next;
}
