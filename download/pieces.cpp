#include "download/pieces.h"

#include <algorithm>
#include <cstring>

void PutBe24(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 16);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value);
}

Cdb InquiryCdb(uint8_t allocation) {
    Cdb c;
    c.bytes[0] = 0x12;
    c.bytes[4] = allocation;
    return c;
}

namespace {
Cdb BufferCdb(uint8_t opcode, uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length) {
    Cdb c;
    c.bytes[0] = opcode;
    c.bytes[1] = mode;
    c.bytes[2] = bufferId;
    PutBe24(&c.bytes[3], offset);
    PutBe24(&c.bytes[6], length);
    return c;
}
}  // namespace

Cdb WriteBufferCdb(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length) {
    return BufferCdb(0x3B, mode, bufferId, offset, length);
}

Cdb ReadBufferCdb(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length) {
    return BufferCdb(0x3C, mode, bufferId, offset, length);
}

std::vector<Piece> PlanPieces(uint32_t total, uint32_t size) {
    std::vector<Piece> plan;
    if (size == 0) return plan;
    // 64-bit, so that a step past a total near 4 GiB cannot wrap back to the start.
    for (uint64_t o = 0; o < total; o += size)
        plan.push_back(
            {static_cast<uint32_t>(o), static_cast<uint32_t>(std::min<uint64_t>(size, total - o))});
    return plan;
}

uint32_t LargestPiece(const std::vector<Piece>& plan) {
    uint32_t largest = 0;
    for (const Piece& p : plan) largest = std::max(largest, p.length);
    return largest;
}

std::vector<Piece> PlanTransfer(TransferForm form, uint32_t total, uint32_t first) {
    std::vector<Piece> plan;
    uint64_t offset = 0, n = first;
    uint8_t id = form == TransferForm::Reading ? 1 : 0;
    for (;;) {
        plan.push_back({static_cast<uint32_t>(offset), static_cast<uint32_t>(n), id});
        if (offset + n >= total) return plan;
        if (offset + n + kTransferPieceSize >= total) {
            n = total - (offset + n);
            if (form == TransferForm::Writing) id = 1;
        }
        offset += kTransferPieceSize;
    }
}

uint64_t PlanEnd(const std::vector<Piece>& plan) {
    uint64_t end = 0;
    for (const Piece& p : plan) end = std::max<uint64_t>(end, uint64_t{p.offset} + p.length);
    return end;
}

int MatchGroupField(const uint8_t* bytes, const IdentityGroup* group, int32_t count,
                    int32_t length) {
    if (!group) return -1;
    for (int32_t k = 0; k < count; ++k) {
        int32_t n = length > 0 ? length : FieldLength(group[k]);
        // A field holds 25 bytes; a longer compare cannot match its zero tail anyway.
        if (n > static_cast<int32_t>(sizeof group[k].text)) continue;
        if (std::memcmp(group[k].text, bytes, static_cast<size_t>(n)) == 0) return k;
    }
    return -1;
}

bool ReportsFirstIdentity(const uint8_t* inquiry, const IdentityGroup* group, int32_t length) {
    return group && FieldEquals(group[0], inquiry, length);
}

bool SearchGroupIdentity(const uint8_t* image, uint32_t from, uint32_t end,
                         const IdentityGroup* group, int32_t count, int32_t length,
                         IdentityHit& hit) {
    if (!group || length <= 0) return false;
    const int64_t last = static_cast<int64_t>(end) - length;  // i < last
    for (int64_t i = from; i < last; ++i) {
        int k = MatchGroupField(image + i, group, count, length);
        if (k >= 0) {
            hit.offset = static_cast<uint32_t>(i);
            hit.field = k;
            return true;
        }
    }
    return false;
}

int64_t FirstDifference(const uint8_t* a, const uint8_t* b, uint32_t n) {
    if (std::memcmp(a, b, n) == 0) return -1;
    for (uint32_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return i;
    return -1;
}
