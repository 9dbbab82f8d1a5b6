#include <algorithm>

#include "download/checked_image.h"
#include "download/frame.h"

namespace {

// Image bytes from S on are the zero fill of the buffer.
struct Bytes {
    const uint8_t* image;
    uint64_t S;
    uint32_t operator[](uint64_t i) const { return i < S ? image[i] : 0; }
    uint32_t Be32(uint64_t i) const {
        return (*this)[i] << 24 | (*this)[i + 1] << 16 | (*this)[i + 2] << 8 | (*this)[i + 3];
    }
    uint32_t Le32(uint64_t i) const {
        return (*this)[i] | (*this)[i + 1] << 8 | (*this)[i + 2] << 16 | (*this)[i + 3] << 24;
    }
};

// The odd bytes of the even offsets i in [from, to): image[i + 1], modulo 256.
uint8_t OddByteSum(const Bytes& b, uint64_t from, uint64_t to) {
    uint8_t sum = 0;
    // Past S every byte is zero: the loop can stop there.
    for (uint64_t i = from; i < to && i < b.S; i += 2) sum = static_cast<uint8_t>(sum + b[i + 1]);
    return sum;
}

}  // namespace

uint8_t FirstAreaSum(const uint8_t* image, uint32_t S) {
    return OddByteSum(Bytes{image, S}, kImageHeaderSize, kFirstAreaEnd);
}

uint8_t SecondAreaSum(const uint8_t* image, uint32_t S) {
    const Bytes b{image, S};
    const uint64_t start = b.Be32(kSecondAreaStartOffset), end = b.Be32(kSecondAreaEndOffset);
    return OddByteSum(b, start + kImageHeaderSize, end + kImageHeaderSize + 1);
}

int CheckSplitAreaSums(const uint8_t* image, uint32_t S) {
    const Bytes b{image, S};
    const uint8_t first = FirstAreaSum(image, S);
    if (b.Be32(kSecondAreaStartOffset) > S) return 1;
    if (b.Be32(kSecondAreaEndOffset) > S) return 2;
    if (first != 0) return 3;
    if (SecondAreaSum(image, S) != 0) return 4;
    return 0;
}

uint16_t HeaderWordSum(const uint8_t* image, uint32_t S) {
    const Bytes b{image, S};
    const uint64_t end =
        std::min<uint64_t>(uint64_t{b.Le32(kSummedEndOffset)} + kImageHeaderSize, S);
    uint16_t sum = 0;
    auto add = [&](uint64_t from, uint64_t to) {
        for (uint64_t i = from; i < to; i += 2)
            sum = static_cast<uint16_t>(sum + b[i] + (b[i + 1] << 8));
    };
    add(kImageHeaderSize, kHeaderSumOffset);
    add(kHeaderSumOffset + 4, end);
    return sum;
}

int CheckHeaderWordSum(const uint8_t* image, uint32_t S) {
    const Bytes b{image, S};
    if (uint64_t{b.Le32(kSummedEndOffset)} + kImageHeaderSize > S) return 1;
    const uint16_t stored =
        static_cast<uint16_t>(b[kHeaderSumOffset] | b[kHeaderSumOffset + 1] << 8);
    return HeaderWordSum(image, S) == stored ? 0 : 1;
}
