// The checked-image download's pure pieces: the image checks of kinds 16 and 32.
#pragma once

#include <cstdint>

// Kind 16: the bytes at odd offsets 33..16,415 sum to 0 modulo 256, and so do the odd bytes of
// the second area, which the big-endian values at 16,400 (start) and 16,404 (end) place
// relative to the body. 0 when both hold; else which "CheckSum0N" fails: 1 a start beyond S,
// 2 an end beyond S (both before any sum is judged), 3 the first area, 4 the second. Bytes from
// S on count as the buffer's zero fill and are never read.
int CheckSplitAreaSums(const uint8_t* image, uint32_t S);
// The two sums (for the sample images).
uint8_t FirstAreaSum(const uint8_t* image, uint32_t S);
uint8_t SecondAreaSum(const uint8_t* image, uint32_t S);
inline constexpr uint32_t kFirstAreaEnd = 16416;
inline constexpr uint32_t kSecondAreaStartOffset = 16400;
inline constexpr uint32_t kSecondAreaEndOffset = 16404;

// Kind 32: the little-endian words at even offsets 32..202 and from 208 up to the end given by
// the little-endian value at 200 (relative to the body) sum to the word at 204, modulo 65,536.
// 0 when they do, else 1 ("CheckSum01"), also for an end past S: nothing is read past S.
int CheckHeaderWordSum(const uint8_t* image, uint32_t S);
// That sum, over the end at 200 cut to S (for the sample images).
uint16_t HeaderWordSum(const uint8_t* image, uint32_t S);
inline constexpr uint32_t kSummedEndOffset = 200;
inline constexpr uint32_t kHeaderSumOffset = 204;
