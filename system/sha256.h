// SHA-256, for the trace's digest of large data blocks (OpenSSL's libcrypto).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Empty when the library cannot make the digest (it only fails when out of memory).
std::optional<std::array<uint8_t, 32>> Sha256(const uint8_t* data, size_t length);
// Lower-case hex; empty on the same failure.
std::string Sha256Hex(const uint8_t* data, size_t length);
