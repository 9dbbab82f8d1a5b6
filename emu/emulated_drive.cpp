// The drive side of an emulated drive: what its programs answer.
#include "emu/emulated_drive.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kSwitchProgram = 0xCC;
constexpr size_t kSwitchDataLength = 28;  // INQUIRY bytes 8-35

std::string Padded(const std::string& s, size_t n) {
    std::string t = s.substr(0, n);
    return t + std::string(n - t.size(), ' ');
}

// What every drive of the maker answers, whatever its family.
DriveReply RunCommon(DriveState& d, const DriveCommand& cmd) {
    const uint8_t* c = cmd.cdb;
    DriveReply r;
    switch (c[0]) {
        case kTestUnitReady:
            if (cmd.nowMs < d.notReadyUntilMs) return SenseReply(0x02, 0x04, 0x01);
            if (!d.disc) return SenseReply(0x02, 0x3A, 0x00);  // medium not present
            return r;
        case kInquiry: {
            if ((c[1] & 0x01) || c[2] != 0) return SenseReply(0x05, 0x24, 0x00);  // no VPD
            if (cmd.nowMs < d.notReadyUntilMs) return SenseReply(0x02, 0x04, 0x01);
            size_t allocation = (static_cast<size_t>(c[3]) << 8) | c[4];
            std::vector<uint8_t> data = InquiryOf(d);
            if (const size_t n = static_cast<size_t>(d.spec.inquiryLength)) {
                // A drive that ignores the allocation length: the kernel cuts what it sends.
                data.resize(n, 0);
                if (n > 4) data[4] = static_cast<uint8_t>(n - 5);
            } else {
                data.resize(std::min({data.size(), allocation, cmd.inCapacity}));
            }
            r.dataIn = std::move(data);
            return r;
        }
        case kWriteBuffer:
            return WriteIntoBuffer(d, cmd);
        case kReadBuffer:
            return ReadFromBuffer(d, cmd);
        case kSwitchProgram: {
            if (d.loaderIdentity.empty()) return SenseReply(0x05, 0x20, 0x00);
            // The command must carry the identity and revision the drive reports right now.
            std::vector<uint8_t> inquiry = InquiryOf(d);
            if (cmd.outLength != kSwitchDataLength ||
                std::memcmp(cmd.out, &inquiry[8], kSwitchDataLength) != 0)
                return SenseReply(0x05, 0x26, 0x00);
            r.outUsed = cmd.outLength;
            d.inLoader = !d.inLoader;
            return r;
        }
        default:
            return SenseReply(0x05, 0x20, 0x00);  // invalid command operation code
    }
}

}  // namespace

DriveReply WriteIntoBuffer(DriveState& d, const DriveCommand& cmd, size_t shift) {
    const uint8_t* c = cmd.cdb;
    size_t offset = Be24(&c[3]) + shift, length = Be24(&c[6]);
    if (offset + length > d.buffer.size()) return SenseReply(0x05, 0x24, 0x00);
    // A host that sends less than the CDB announces leaves the rest of the range as it was.
    size_t n = std::min(length, cmd.outLength);
    if (n) std::memcpy(&d.buffer[offset], cmd.out, n);
    d.bufferEnd = std::max(d.bufferEnd, offset + n);
    DriveReply r;
    r.outUsed = n;
    return r;
}

DriveReply ReadFromBuffer(const DriveState& d, const DriveCommand& cmd, size_t shift) {
    const uint8_t* c = cmd.cdb;
    size_t offset = Be24(&c[3]) + shift, length = Be24(&c[6]);
    if (offset + length > d.buffer.size()) return SenseReply(0x05, 0x24, 0x00);
    size_t n = std::min(length, cmd.inCapacity);
    DriveReply r;
    r.dataIn.assign(d.buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                    d.buffer.begin() + static_cast<std::ptrdiff_t>(offset + n));
    return r;
}

DriveReply SenseReply(uint8_t key, uint8_t asc, uint8_t ascq) {
    DriveReply r;
    r.status = 0x02;
    r.senseKey = key;
    r.asc = asc;
    r.ascq = ascq;
    return r;
}

void StoreBuffer(DriveState& d) {
    d.firmware.assign(d.buffer.begin(),
                      d.buffer.begin() + static_cast<std::ptrdiff_t>(d.bufferEnd));
    d.bufferEnd = 0;
    ++d.stores;
}

uint32_t Be24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

std::vector<uint8_t> Fitted(const std::vector<uint8_t>& bytes, size_t n) {
    std::vector<uint8_t> v(bytes.begin(),
                           bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
    v.resize(n, 0);
    return v;
}

std::array<uint8_t, kSenseLength> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::array<uint8_t, kSenseLength> s{};
    s[0] = 0x70;
    s[2] = key;
    s[7] = kSenseLength - 8;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::vector<uint8_t> InquiryOf(const DriveState& d) {
    std::vector<uint8_t> data(EmulatedDrive::kInquiryLength, 0);
    data[0] = static_cast<uint8_t>(d.spec.type);
    data[1] = 0x80;  // removable medium
    data[2] = 0x05;
    data[3] = 0x02;  // response data format
    data[4] = static_cast<uint8_t>(EmulatedDrive::kInquiryLength - 5);
    const std::string& id = d.inLoader ? d.loaderIdentity : d.mainIdentity;
    std::memcpy(&data[8], id.data(), 24);
    std::string rev = Padded(d.inLoader ? d.spec.loaderRevision : d.spec.revision, 4);
    std::memcpy(&data[32], rev.data(), 4);
    return data;
}

EmulatedDrive::EmulatedDrive(EmulatedDriveSpec spec) {
    DriveState& d = state_;
    d.spec = std::move(spec);
    d.buffer.resize(kBufferSize);
    // The firmware the drive runs holds its configuration bytes where the image would.
    const std::vector<uint8_t> config = Fitted(d.spec.config, 2);
    for (size_t at : kConfigAt) std::copy(config.begin(), config.end(), d.buffer.begin() + at);
    const EmulatedProgram* program = FindEmulatedProgram(d.spec.programId);
    if (program) {
        d.loaderIdentity = program->loader;
        d.mainIdentity = program->main;
    }
    if (!d.loaderIdentity.empty()) d.loaderIdentity = Padded(d.loaderIdentity, 24);
    d.mainIdentity = Padded(d.spec.identity.empty() ? d.mainIdentity : d.spec.identity, 24);
    d.inLoader = d.spec.loader && !d.loaderIdentity.empty();
    d.disc = d.spec.disc;
    family_ = FamilyProgramFor(d.spec.programId);
}

bool EmulatedDrive::HasLoader() const {
    return !state_.loaderIdentity.empty();
}

bool EmulatedDrive::InLoader() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.inLoader;
}

void EmulatedDrive::SetDisc(bool disc) {
    std::lock_guard<std::mutex> lock(mu_);
    state_.disc = disc;
}

bool EmulatedDrive::Disc() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.disc;
}

std::vector<uint8_t> EmulatedDrive::InquiryData() const {
    std::lock_guard<std::mutex> lock(mu_);
    return InquiryOf(state_);
}

std::string EmulatedDrive::Identity() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.inLoader ? state_.loaderIdentity : state_.mainIdentity;
}

std::vector<uint8_t> EmulatedDrive::BufferBytes(size_t offset, size_t length) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto& b = state_.buffer;
    if (offset >= b.size()) return {};
    length = std::min(length, b.size() - offset);
    return std::vector<uint8_t>(b.begin() + static_cast<std::ptrdiff_t>(offset),
                                b.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::vector<uint8_t> EmulatedDrive::StoredFirmware() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.firmware;
}

int EmulatedDrive::Stores() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.stores;
}

bool EmulatedDrive::Gone() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_.gone;
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

DriveReply EmulatedDrive::Execute(const uint8_t* cdb, size_t cdbLength, const uint8_t* out,
                                  size_t outLength, size_t inCapacity, uint64_t nowMs) {
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
    entry.inLoader = state_.inLoader;

    DriveReply reply;
    const FaultRule* rule = nullptr;
    for (const FaultRule& f : state_.spec.faults) {
        if (f.opcode != opcode || f.nth != n) continue;
        if (f.signal)
            kill(getpid(), f.signal);
        else if (!rule)
            rule = &f;
    }
    if (state_.gone || (rule && rule->vanish)) {
        state_.gone = true;
        reply.vanished = true;
    } else if (rule && rule->hang) {
        reply.hang = true;
    } else if (rule && (rule->garble || rule->shorten)) {
        reply = Run(DriveCommand{c, out, out ? outLength : 0, inCapacity, nowMs});
        if (rule->garble && !reply.dataIn.empty()) reply.dataIn[0] ^= 0xFF;
        if (rule->shorten && !reply.dataIn.empty()) reply.dataIn.pop_back();
        if (rule->shorten && reply.outUsed) --reply.outUsed;
    } else if (rule) {
        reply = SenseReply(rule->senseKey, rule->asc, rule->ascq);
    } else {
        reply = Run(DriveCommand{c, out, out ? outLength : 0, inCapacity, nowMs});
    }
    entry.reply = reply;
    entry.reply.dataIn.clear();
    log_.push_back(std::move(entry));
    return reply;
}

DriveReply EmulatedDrive::Run(const DriveCommand& command) {
    DriveReply reply;
    if (family_ && family_(state_, command, reply)) return reply;
    return RunCommon(state_, command);
}
