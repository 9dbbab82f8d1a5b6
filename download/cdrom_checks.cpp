#include "download/cdrom.h"

uint16_t CdRomImageSum(const uint8_t* image, uint32_t S) {
    struct Area {
        uint32_t from, to;  // even offsets i with from <= i < to
    };
    static constexpr Area kAreas[] = {{32, kCdRomSumOffset}, {kCdRomSumOffset + 4, UINT32_MAX}};
    auto byte = [&](uint32_t i) -> uint32_t { return i < S ? image[i] : 0; };
    uint16_t sum = 0;
    for (const Area& a : kAreas)
        for (uint32_t i = a.from; i < a.to && i < S; i += 2)
            sum = static_cast<uint16_t>(sum + byte(i) + (byte(i + 1) << 8));
    return sum;
}

bool CheckCdRomImageSum(const uint8_t* image, uint32_t S) {
    auto byte = [&](uint32_t i) -> uint16_t { return i < S ? image[i] : 0; };
    const uint16_t stored =
        static_cast<uint16_t>(byte(kCdRomSumOffset) | byte(kCdRomSumOffset + 1) << 8);
    return CdRomImageSum(image, S) == stored;
}
