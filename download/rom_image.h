// The ROM-image download's pure pieces: where the image carries its identity and its tag, and
// how it is cut into pieces.
#pragma once

#include <cstdint>

#include "drives/catalogue.h"

// Kinds 1, 2, 3.
inline constexpr uint32_t kRomPieceSize = 33792;
// Kind 2: the two bytes compared with the tag the drive's running firmware reports. Read from
// the zero-filled buffer, so an image shorter than that compares zeros.
inline constexpr uint32_t kRomTagOffset = 0x3FFF8;

// Where the image carries the identity the new firmware will report: the first offset from
// length / 2 on at which a field of the group matches over `compare` bytes, the fields tried in
// order at each offset. False when there is none, which includes every image of `compare` + 1
// bytes or fewer.
bool FindRomIdentity(const uint8_t* image, uint32_t length, const IdentityGroup* group,
                     int32_t count, int32_t compare, uint32_t& offset);
