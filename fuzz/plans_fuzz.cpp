// The piece planners and the patch tables with fuzzed lengths, kinds and drive bytes. A plan
// must cover its range exactly, in order, without a piece larger than its size; a patch may
// change no byte but the ones its table names.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "download/cdrom.h"
#include "download/frame.h"
#include "download/loader_switch.h"
#include "download/microcode.h"
#include "download/pieces.h"
#include "fuzz/fuzz_support.h"

namespace {

// Consecutive pieces from offset 0 to `end`, none longer than `size`.
void CheckCovers(const std::vector<Piece>& plan, uint64_t end, uint32_t size) {
    uint64_t at = 0;
    for (const Piece& p : plan) {
        FUZZ_CHECK(p.offset == at);
        FUZZ_CHECK(p.length > 0 && p.length <= size);
        at += p.length;
    }
    FUZZ_CHECK(at == end);
}

void Plans(FuzzedDataProvider& in) {
    // Any length up to the largest buffer and a little beyond; and lengths near 4 GiB, where an
    // offset stepping past the end could wrap.
    const bool huge = in.ConsumeBool();
    const uint32_t total = huge ? in.ConsumeIntegralInRange<uint32_t>(0xFFFF0000u, 0xFFFFFFFFu)
                                : in.ConsumeIntegralInRange<uint32_t>(0, 2 * k1MiB);
    const uint32_t size = huge ? in.ConsumeIntegralInRange<uint32_t>(1u << 20, 0xFFFFFFFFu)
                               : in.ConsumeIntegralInRange<uint32_t>(kMicrocodePieceSize, 70000);
    const std::vector<Piece> plan = PlanPieces(total, size);
    CheckCovers(plan, total, size);
    FUZZ_CHECK(plan.size() == (uint64_t{total} + size - 1) / size);

    // The transfer rule, in both forms, as the CD-ROM and checked-image loaders call it.
    const uint32_t S = in.ConsumeIntegralInRange<uint32_t>(kImageHeaderSize, k512KiB);
    // The loaders chunk files of 64 KiB and more.
    const bool chunked = S >= 65536 && in.ConsumeBool();
    const std::vector<Piece> writing =
        PlanTransfer(TransferForm::Writing, S, chunked ? kTransferPieceSize : S);
    CheckCovers(writing, S, chunked ? kTransferPieceSize : S);
    for (size_t k = 0; k < writing.size(); ++k)
        FUZZ_CHECK(writing[k].bufferId == (chunked && k + 1 == writing.size() ? 1 : 0));
    const std::vector<Piece> reading =
        PlanTransfer(TransferForm::Reading, S, chunked ? kTransferPieceSize : S - kImageHeaderSize);
    FUZZ_CHECK(!reading.empty() && reading.size() <= S / kTransferPieceSize + 2);
    for (const Piece& p : reading) FUZZ_CHECK(p.bufferId == 1 && p.length <= S);
    FUZZ_CHECK(PlanEnd(reading) <= uint64_t{S} + kTransferPieceSize);

    // The microcode pieces: behind the header, each copied whole from inside the buffer.
    const uint32_t M = in.ConsumeIntegralInRange<uint32_t>(0, k1MiB + 1024);
    const std::vector<Piece> micro = PlanMicrocodePieces(M);
    FUZZ_CHECK(micro.empty() == (M <= kMicrocodeHeaderSize));
    uint64_t at = 0;
    for (const Piece& p : micro) {
        FUZZ_CHECK(p.offset == at && p.length > 0 && p.length <= kMicrocodePieceSize);
        at += p.length;
    }
    FUZZ_CHECK(at == 0 || (at >= M - kMicrocodeHeaderSize && at <= M));
}

// A recognisable image of the 256 KiB buffer, made once.
std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> image(k256KiB);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

void Patches(FuzzedDataProvider& in) {
    static const std::vector<uint8_t> before = Pattern();
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    const uint8_t first = in.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> after = before;
    CarryConfiguration(kind, first, after.data());
    auto same = [&](size_t from, size_t to) {
        return std::memcmp(after.data() + from, before.data() + from, to - from) == 0;
    };
    const size_t bytes40 = kConfigBytesOffset, carried = kCarriedByteOffset;
    FUZZ_CHECK(same(0, bytes40) && same(bytes40 + 4, carried) && same(carried + 1, after.size()));
    if (kind != 35 && kind != 37) FUZZ_CHECK(same(bytes40, bytes40 + 4));
    if (kind == 33)
        FUZZ_CHECK(after[carried] == first);
    else
        FUZZ_CHECK(same(carried, carried + 1));

    uint8_t reply[4], bytes[4];
    for (uint8_t& b : reply) b = in.ConsumeIntegral<uint8_t>();
    Kind20DriveData(reply, bytes);
    // An unlisted first byte carries the drive's four bytes unchanged.
    if (reply[0] != 0x3C && reply[0] != 0x3F && reply[0] != 0xFC && reply[0] != 0xFF)
        FUZZ_CHECK(std::memcmp(reply, bytes, 4) == 0);
    else
        FUZZ_CHECK(bytes[0] == 0xFA && bytes[1] == 0xE4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Plans(in);
    Patches(in);
    return 0;
}
