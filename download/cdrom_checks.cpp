#include <cstring>

#include "download/cdrom.h"

const CdRomKind* FindCdRomKind(uint8_t kind) {
    // kind, checks identities, configuration byte's offset and host length, power-off
    static constexpr CdRomKind kKinds[] = {
        {34, true, 0, 0, false}, {33, false, 0x1FFDD, 2, false}, {35, true, 0x6009, 4, true},
        {36, true, 0, 0, false}, {37, true, 0x6009, 4, false},   {38, true, 0, 0, false},
    };
    for (const CdRomKind& k : kKinds)
        if (k.kind == kind) return &k;
    return nullptr;
}

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

void CarryConfiguration(uint8_t kind, uint8_t first, uint8_t* image) {
    if (kind == 33) {
        image[kCarriedByteOffset] = first;
        return;
    }
    struct Row {
        uint8_t first;
        uint8_t kind35[4];
        uint8_t kind37[4];
    };
    static constexpr Row kTable[] = {
        {0x3C, {0x24, 0x13, 0x98, 0x16}, {0x24, 0x13, 0xB8, 0x17}},
        {0x3F, {0x26, 0x13, 0x98, 0x06}, {0x26, 0x13, 0xB8, 0x17}},
        {0xFC, {0x24, 0x53, 0x98, 0x1E}, {0x24, 0x53, 0xB8, 0x17}},
        {0xFF, {0x26, 0x53, 0x98, 0x0E}, {0x26, 0x53, 0xB8, 0x0F}},
    };
    if (kind != 35 && kind != 37) return;
    for (const Row& r : kTable)
        if (r.first == first)
            std::memcpy(image + kConfigBytesOffset, kind == 35 ? r.kind35 : r.kind37, 4);
}
