#include "system/sha256.h"

#include <openssl/evp.h>

std::optional<std::array<uint8_t, 32>> Sha256(const uint8_t* data, size_t length) {
    std::array<uint8_t, 32> out{};
    unsigned int size = 0;
    static const uint8_t kEmpty = 0;
    if (!EVP_Digest(data ? data : &kEmpty, length, out.data(), &size, EVP_sha256(), nullptr) ||
        size != out.size())
        return std::nullopt;
    return out;
}

std::string Sha256Hex(const uint8_t* data, size_t length) {
    std::optional<std::array<uint8_t, 32>> digest = Sha256(data, length);
    if (!digest) return {};
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(64);
    for (uint8_t b : *digest) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}
