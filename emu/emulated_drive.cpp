// The drive side of an emulated drive: what its programs answer.
#include "emu/emulated_drive.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kSwitchProgram = 0xCC;
constexpr size_t kSwitchDataLength = 28;  // INQUIRY bytes 8-35

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

std::string Padded(const std::string& s, size_t n) {
    std::string t = s.substr(0, n);
    return t + std::string(n - t.size(), ' ');
}

DriveReply Check(uint8_t key, uint8_t asc, uint8_t ascq) {
    DriveReply r;
    r.status = kCheckCondition;
    r.senseKey = key;
    r.asc = asc;
    r.ascq = ascq;
    return r;
}

uint32_t Be24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

}  // namespace

std::array<uint8_t, kSenseLength> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::array<uint8_t, kSenseLength> s{};
    s[0] = 0x70;
    s[2] = key;
    s[7] = kSenseLength - 8;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

EmulatedDrive::EmulatedDrive(EmulatedDriveSpec spec)
    : spec_(std::move(spec)), buffer_(kBufferSize, 0) {
    const EmulatedProgram* program = FindEmulatedProgram(spec_.programId);
    if (program) {
        loaderIdentity_ = program->loader;
        mainIdentity_ = program->main;
    }
    if (!loaderIdentity_.empty()) loaderIdentity_ = Padded(loaderIdentity_, 24);
    mainIdentity_ = Padded(spec_.identity.empty() ? mainIdentity_ : spec_.identity, 24);
    inLoader_ = spec_.loader && !loaderIdentity_.empty();
    disc_ = spec_.disc;
}

bool EmulatedDrive::HasLoader() const {
    return !loaderIdentity_.empty();
}

bool EmulatedDrive::InLoader() const {
    std::lock_guard<std::mutex> lock(mu_);
    return inLoader_;
}

void EmulatedDrive::SetDisc(bool disc) {
    std::lock_guard<std::mutex> lock(mu_);
    disc_ = disc;
}

bool EmulatedDrive::Disc() const {
    std::lock_guard<std::mutex> lock(mu_);
    return disc_;
}

std::vector<uint8_t> EmulatedDrive::InquiryData() const {
    std::lock_guard<std::mutex> lock(mu_);
    return InquiryLocked();
}

std::string EmulatedDrive::Identity() const {
    std::lock_guard<std::mutex> lock(mu_);
    return inLoader_ ? loaderIdentity_ : mainIdentity_;
}

std::vector<uint8_t> EmulatedDrive::BufferBytes(size_t offset, size_t length) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (offset >= buffer_.size()) return {};
    length = std::min(length, buffer_.size() - offset);
    return std::vector<uint8_t>(buffer_.begin() + static_cast<std::ptrdiff_t>(offset),
                                buffer_.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::vector<LoggedCommand> EmulatedDrive::Log() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

int EmulatedDrive::CountOf(uint8_t opcode) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = counts_.find(opcode);
    return it == counts_.end() ? 0 : it->second;
}

std::vector<uint8_t> EmulatedDrive::InquiryLocked() const {
    std::vector<uint8_t> d(kInquiryLength, 0);
    d[0] = static_cast<uint8_t>(spec_.type);
    d[1] = 0x80;  // removable medium
    d[2] = 0x05;
    d[3] = 0x02;  // response data format
    d[4] = static_cast<uint8_t>(kInquiryLength - 5);
    const std::string& id = inLoader_ ? loaderIdentity_ : mainIdentity_;
    std::memcpy(&d[8], id.data(), 24);
    std::string rev = Padded(inLoader_ ? spec_.loaderRevision : spec_.revision, 4);
    std::memcpy(&d[32], rev.data(), 4);
    return d;
}

DriveReply EmulatedDrive::Execute(const uint8_t* cdb, size_t cdbLength, const uint8_t* out,
                                  size_t outLength, size_t inCapacity) {
    std::lock_guard<std::mutex> lock(mu_);
    // The drive sees only the bytes the host sent; the rest of its CDB area reads as zero.
    uint8_t c[16] = {};
    std::memcpy(c, cdb, std::min(cdbLength, sizeof c));
    uint8_t opcode = c[0];
    int n = ++counts_[opcode];

    LoggedCommand entry;
    entry.cdb.assign(cdb, cdb + cdbLength);
    if (out) entry.out.assign(out, out + outLength);
    entry.inCapacity = inCapacity;
    entry.inLoader = inLoader_;

    DriveReply reply;
    const FaultRule* rule = nullptr;
    for (const FaultRule& f : spec_.faults)
        if (f.opcode == opcode && f.nth == n) {
            rule = &f;
            break;
        }
    if (rule && rule->hang) {
        reply.hang = true;
    } else if (rule) {
        reply = Check(rule->senseKey, rule->asc, rule->ascq);
    } else {
        reply = Run(c, out, out ? outLength : 0, inCapacity);
    }
    entry.reply = reply;
    entry.reply.dataIn.clear();
    log_.push_back(std::move(entry));
    return reply;
}

DriveReply EmulatedDrive::Run(const uint8_t* c, const uint8_t* out, size_t outLength,
                              size_t inCapacity) {
    DriveReply r;
    switch (c[0]) {
        case kTestUnitReady:
            if (!disc_) return Check(0x02, 0x3A, 0x00);  // medium not present
            return r;
        case kInquiry: {
            if ((c[1] & 0x01) || c[2] != 0) return Check(0x05, 0x24, 0x00);  // no VPD pages
            size_t allocation = (static_cast<size_t>(c[3]) << 8) | c[4];
            std::vector<uint8_t> d = InquiryLocked();
            d.resize(std::min({d.size(), allocation, inCapacity}));
            r.dataIn = std::move(d);
            return r;
        }
        case kWriteBuffer: {
            size_t offset = Be24(&c[3]), length = Be24(&c[6]);
            if (offset + length > buffer_.size()) return Check(0x05, 0x24, 0x00);
            // A host that sends less than the CDB announces leaves the rest of the range as it was.
            size_t n = std::min(length, outLength);
            if (n) std::memcpy(&buffer_[offset], out, n);
            r.outUsed = n;
            return r;
        }
        case kReadBuffer: {
            size_t offset = Be24(&c[3]), length = Be24(&c[6]);
            if (offset + length > buffer_.size()) return Check(0x05, 0x24, 0x00);
            size_t n = std::min(length, inCapacity);
            r.dataIn.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(offset),
                            buffer_.begin() + static_cast<std::ptrdiff_t>(offset + n));
            return r;
        }
        case kSwitchProgram: {
            if (loaderIdentity_.empty()) return Check(0x05, 0x20, 0x00);
            // The command must carry the identity and revision the drive reports right now.
            std::vector<uint8_t> inquiry = InquiryLocked();
            if (outLength != kSwitchDataLength ||
                std::memcmp(out, &inquiry[8], kSwitchDataLength) != 0)
                return Check(0x05, 0x26, 0x00);
            r.outUsed = outLength;
            inLoader_ = !inLoader_;
            return r;
        }
        default:
            return Check(0x05, 0x20, 0x00);  // invalid command operation code
    }
}
