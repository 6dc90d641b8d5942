// Counts the calls of operator new in the whole process (every thread), so a
// benchmark can give allocations per byte or per call. Include in exactly one
// source file of a benchmark binary: it replaces the global operator new and
// delete. Memory that Qt or the C library take with malloc directly is not
// counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace pmvbench {

inline std::atomic<std::uint64_t> gAllocations{0};

/// Calls of operator new so far.
inline std::uint64_t Allocations() {
    return gAllocations.load(std::memory_order_relaxed);
}

} // namespace pmvbench

void* operator new(std::size_t size) {
    pmvbench::gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align) {
    pmvbench::gAllocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
