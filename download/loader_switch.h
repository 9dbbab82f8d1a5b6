// The loader-switch download's pure pieces: the kind-18 image sum and the kind-20 patch table.
#pragma once

#include <cstdint>

// Kinds 4, 17, 18, 19, 20.
inline constexpr uint32_t kLoaderPieceSize = 2048;
inline constexpr uint32_t kLoaderHeaderSize = 32;  // READ BUFFER returns the image from here on

// Kind 18: the 16-bit little-endian words at even offsets 32..127006 and 131104..389150 add up
// to 0 modulo 65,536. Bytes at `size` and beyond count as zero and are never read.
bool CheckLoaderImageSum(const uint8_t* image, uint32_t size);
// That sum.
uint16_t LoaderImageSum(const uint8_t* image, uint32_t size);

// Kind 20: the image's drive bytes 44-47 for the four bytes the drive returned.
void Kind20DriveData(const uint8_t reply[4], uint8_t bytes[4]);
