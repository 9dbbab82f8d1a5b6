#include <cstring>

#include "download/loader_switch.h"

uint16_t LoaderImageSum(const uint8_t* image, uint32_t size) {
    struct Area {
        uint32_t from, to;  // even offsets i with from <= i < to
    };
    // The 4,096 bytes between the two areas are not summed.
    static constexpr Area kAreas[] = {{32, 127008}, {131104, 389152}};
    uint16_t sum = 0;
    auto byte = [&](uint32_t i) -> uint32_t { return i < size ? image[i] : 0; };
    for (const Area& a : kAreas)
        for (uint32_t i = a.from; i < a.to && i < size; i += 2)
            sum = static_cast<uint16_t>(sum + (byte(i + 1) << 8) + byte(i));
    return sum;
}

bool CheckLoaderImageSum(const uint8_t* image, uint32_t size) {
    return LoaderImageSum(image, size) == 0;
}

void Kind20DriveData(const uint8_t reply[4], uint8_t bytes[4]) {
    struct Row {
        uint8_t first;
        uint8_t bytes[4];
    };
    static constexpr Row kTable[] = {
        {0x3C, {0xFA, 0xE4, 0xE4, 0xE8}},
        {0x3F, {0xFA, 0xE4, 0xC4, 0xE9}},
        {0xFC, {0xFA, 0xE4, 0xE5, 0xEC}},
        {0xFF, {0xFA, 0xE4, 0xC5, 0xED}},
    };
    std::memcpy(bytes, reply, 4);
    for (const Row& r : kTable)
        if (reply[0] == r.first) std::memcpy(bytes, r.bytes, 4);
}
