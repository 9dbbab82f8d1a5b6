// Images for the checked-image families (LD4630, LD5850): an identity of the group in the later
// three quarters and the kind's sums.
#include <string>

#include "download/checked_image.h"
#include "drives/catalogue.h"
#include "emu/sample_images.h"

namespace {

void PutBe32(std::vector<uint8_t>& image, uint32_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) image[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// Sets image[at] so that `sum` of the padded image becomes 0 (modulo 256).
template <typename Sum>
void ZeroByteSum(std::vector<uint8_t>& image, uint32_t at, Sum sum) {
    image[at] = 0;
    std::vector<uint8_t> padded = Padded(image);
    image[at] =
        static_cast<uint8_t>(0x100 - sum(padded.data(), static_cast<uint32_t>(padded.size())));
}

}  // namespace

void MakeCheckedImage(const char* id, uint32_t size, std::vector<uint8_t>& image) {
    const ProgramEntry* entry = FindProgramEntry(id);
    image = SampleBody(size);
    const uint32_t S = size + (size & 1u);

    // The drive's ordinary identity, at a quarter of the file, clear of kind 16's area fields.
    uint32_t at = size / 4;
    if (entry->kind == 16 && at < kSecondAreaEndOffset + 4 && at + 24 > kSecondAreaStartOffset)
        at = kFirstAreaEnd;
    PutText(image, at, std::string(entry->group[1].text, 24));

    if (entry->kind == 16) {
        // The second area from the body's byte 16,384 to near the end; one odd byte in each area
        // makes its sum zero.
        PutBe32(image, kSecondAreaStartOffset, kFirstAreaEnd - 32);
        PutBe32(image, kSecondAreaEndOffset, S - 36);
        ZeroByteSum(image, S - 3, SecondAreaSum);
        ZeroByteSum(image, 33, FirstAreaSum);
    } else {
        // Summed to the end of the image.
        const uint32_t end = S - 32;
        for (int k = 0; k < 4; ++k)
            image[kSummedEndOffset + k] = static_cast<uint8_t>(end >> (8 * k));
        std::vector<uint8_t> padded = Padded(image);
        uint16_t sum = HeaderWordSum(padded.data(), S);
        image[kHeaderSumOffset] = static_cast<uint8_t>(sum);
        image[kHeaderSumOffset + 1] = static_cast<uint8_t>(sum >> 8);
    }
}
