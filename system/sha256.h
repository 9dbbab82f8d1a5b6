// SHA-256, for the trace's digest of large data blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t length);
std::string Sha256Hex(const uint8_t* data, size_t length);
