// Pieces the download procedures share: command builders, piece plans, identity searches and
// read-back comparison. Pure functions, no port access.
#pragma once

#include <cstdint>
#include <vector>

#include "drives/catalogue.h"

// ---- commands -----------------------------------------------------------------------------------

// A CDB as every procedure builds it: 12 bytes, zero but for what the command names.
struct Cdb {
    uint8_t bytes[12] = {};
    const uint8_t* data() const { return bytes; }
};

// 24-bit big-endian, as buffer offsets and lengths travel in WRITE BUFFER, READ BUFFER and the
// microcode write.
void PutBe24(uint8_t* at, uint32_t value);

// INQUIRY with this allocation length (36 unless a procedure says otherwise).
Cdb InquiryCdb(uint8_t allocation = 0x24);
// WRITE BUFFER (0x3B) and READ BUFFER (0x3C): mode, buffer id, offset, length.
Cdb WriteBufferCdb(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length);
Cdb ReadBufferCdb(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length);

// WRITE BUFFER modes the procedures use.
constexpr uint8_t kModeWriteData = 0x02;
constexpr uint8_t kModeDownloadAndSave = 0x05;
// READ BUFFER mode of the loaders' read-back.
constexpr uint8_t kModeVendor = 0x01;

// ---- piece plans --------------------------------------------------------------------------------

struct Piece {
    uint32_t offset;
    uint32_t length;
    uint8_t bufferId = 0;

    bool operator==(const Piece&) const = default;
};

// Consecutive pieces of `size` bytes covering [0, total); the last one holds the rest.
std::vector<Piece> PlanPieces(uint32_t total, uint32_t size);

// The largest single transfer of a plan (0 for none).
uint32_t LargestPiece(const std::vector<Piece>& plan);

// The transfer piece rule of the CD-ROM and checked-image loaders. Pieces start at multiples of
// 32,768; the first has `first` bytes (32,768 for a chunked transfer, else the whole length),
// and once a piece's end comes within 32,768 bytes of `total`, the next one ends exactly there.
// The writing form marks that last piece with buffer id 1 (the others 0); the reading form reads
// buffer 1 throughout. Read unchunked (first = total - 32, the image body), the rule goes on
// with 32-byte pieces at the following multiples of 32,768 and one piece beyond the body: the
// loader's read-back takes exactly these commands.
enum class TransferForm { Writing, Reading };
inline constexpr uint32_t kTransferPieceSize = 32768;
std::vector<Piece> PlanTransfer(TransferForm form, uint32_t total, uint32_t first);

// Where the pieces of a plan end in their buffer: the highest offset + length.
uint64_t PlanEnd(const std::vector<Piece>& plan);

// ---- identities ---------------------------------------------------------------------------------

// The first field of a group (count fields, the closing one included) whose first `length`
// bytes equal `bytes`; -1 when none. `length` 0 compares each field over its own text length.
int MatchGroupField(const uint8_t* bytes, const IdentityGroup* group, int32_t count,
                    int32_t length);

// Whether INQUIRY data (identity from byte 8) reports the first identity of a group, the one
// its loader reports, over `length` bytes (at most the field's 25). False without a group.
bool ReportsFirstIdentity(const uint8_t* inquiry, const IdentityGroup* group, int32_t length);

// Where an identity of the group lies in an image: the first offset i from `from` while
// i < end − length (signed: no offset when end ≤ length), trying the fields in order at each
// offset. False when none.
struct IdentityHit {
    uint32_t offset = 0;
    int field = -1;
};
bool SearchGroupIdentity(const uint8_t* image, uint32_t from, uint32_t end,
                         const IdentityGroup* group, int32_t count, int32_t length,
                         IdentityHit& hit);

// ---- read-back ----------------------------------------------------------------------------------

// The first offset at which two byte ranges of `n` bytes differ, or -1 when they are equal.
int64_t FirstDifference(const uint8_t* a, const uint8_t* b, uint32_t n);
