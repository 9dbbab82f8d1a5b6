// Zero-filled blocks from calloc. Memory the allocator takes fresh from the kernel is zero
// already, so calloc leaves it untouched: the pages of a large block cost something only where
// the block is used, unlike a block cleared byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};
using ZeroedBlock = std::unique_ptr<uint8_t[], FreeBlock>;

// Null when the memory is not there.
inline ZeroedBlock AllocateZeroed(size_t bytes) {
    return ZeroedBlock(static_cast<uint8_t*>(std::calloc(bytes, 1)));
}
