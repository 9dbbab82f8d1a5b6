// Zero-filled blocks from calloc. Memory the allocator takes fresh from the kernel is zero
// already, so calloc leaves it untouched: the pages of a large block cost something only where
// the block is used, unlike a block cleared byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};
using ZeroedBlock = std::unique_ptr<uint8_t[], FreeBlock>;

// Null when the memory is not there.
inline ZeroedBlock AllocateZeroed(size_t bytes) {
    return ZeroedBlock(static_cast<uint8_t*>(std::calloc(bytes, 1)));
}

// An allocator for a vector that is sized once, to be zero-filled: its memory comes from calloc
// and an element made by value-initialisation is left as calloc gave it, so that a large buffer
// costs pages only where it is used. Never for a vector whose elements are removed and made
// again: those would keep their old bytes.
template <class T>
struct SizedOnceZeroAllocator {
    using value_type = T;
    SizedOnceZeroAllocator() = default;
    template <class U>
    SizedOnceZeroAllocator(const SizedOnceZeroAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (void* p = std::calloc(n, sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const SizedOnceZeroAllocator<U>&) const noexcept {
        return true;
    }
};
