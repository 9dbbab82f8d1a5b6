// The identity searches over a fuzzed image and fuzzed INQUIRY data, for every group of the
// catalogue with the compare length its procedure uses.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "download/pieces.h"
#include "download/rom_image.h"
#include "drives/catalogue.h"
#include "fuzz/fuzz_support.h"

namespace {

// A hit names a field that matches there, inside the searched range.
void CheckHit(const std::vector<uint8_t>& image, uint32_t from, const ProgramEntry& e,
              int32_t length, const IdentityHit& hit) {
    FUZZ_CHECK(hit.offset >= from);
    FUZZ_CHECK(int64_t{hit.offset} + length < int64_t{static_cast<int64_t>(image.size())});
    FUZZ_CHECK(hit.field >= 0 && hit.field < e.count);
    FUZZ_CHECK(std::memcmp(image.data() + hit.offset, e.group[hit.field].text,
                           static_cast<size_t>(length)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const ProgramEntry& e = kProgramTable[in.ConsumeIntegralInRange<int>(0, kProgramTableSize - 1)];
    const int32_t length = CompareLengthOf(e);
    const uint32_t fromNumerator = in.ConsumeIntegralInRange<uint32_t>(0, 4);

    // INQUIRY data as the drive table keeps it: 56 bytes, whatever the drive returned.
    uint8_t inquiry[56] = {};
    std::vector<uint8_t> answer = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 56));
    if (!answer.empty()) std::memcpy(inquiry, answer.data(), answer.size());
    const int field = GroupFieldMatch(length, e.group, e.count, inquiry);
    FUZZ_CHECK(field == kNoField || field == kFamilyMember || (field >= 0 && field < e.count));
    if (field >= 0) FUZZ_CHECK(OfKnownFamily(inquiry));
    const bool first = ReportsFirstIdentity(inquiry, e.group, length);
    if (first) FUZZ_CHECK(MatchGroupField(inquiry + 8, e.group, 1, length) == 0);

    // The image, exactly as long as the file: a read past it is a finding.
    const std::vector<uint8_t> image = in.ConsumeRemainingBytes<uint8_t>();
    const uint32_t L0 = static_cast<uint32_t>(image.size());
    const uint32_t from = L0 / 4 * fromNumerator;
    IdentityHit hit;
    if (SearchGroupIdentity(image.data(), from, L0, e.group, e.count, length, hit))
        CheckHit(image, from, e, length, hit);
    uint32_t at = 0;
    if (FindRomIdentity(image.data(), L0, e.group, e.count, length, at)) {
        FUZZ_CHECK(SearchGroupIdentity(image.data(), L0 / 2, L0, e.group, e.count, length, hit));
        FUZZ_CHECK(hit.offset == at);
        CheckHit(image, L0 / 2, e, length, hit);
    }
    // Each field over its own text length, as the microcode download compares.
    if (L0 >= sizeof(IdentityField)) {
        const int k = MatchGroupField(image.data(), e.group, e.count, 0);
        FUZZ_CHECK(k >= -1 && k < e.count);
        if (k >= 0)
            FUZZ_CHECK(std::memcmp(image.data(), e.group[k].text,
                                   static_cast<size_t>(FieldLength(e.group[k]))) == 0);
    }
    return 0;
}
