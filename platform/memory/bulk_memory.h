// Memory for the large arrays a sweep fills in one go: a /16's results and
// host states are megabytes, every page of them touched within milliseconds.
// Linux backs a block of a megabyte or more with transparent huge pages where
// the kernel allows them, so that filling it takes a page fault per 2 MB
// rather than per 4 KB; on a virtual machine each fault costs microseconds,
// and a /16's 2,000 of them were a tenth of the sweep's CPU time. Smaller
// blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace ps::platform {

// Blocks of this size or more are bulk blocks.
inline constexpr std::size_t kBulkBytes = std::size_t{1} << 20;

// Uninitialised memory for `bytes` (at least kBulkBytes), aligned for any
// type; throws std::bad_alloc. FreeBulk takes the same `bytes` back.
void* AllocateBulk(std::size_t bytes);
void FreeBulk(void* block, std::size_t bytes);

// An allocator for std::vector and its kind: bulk blocks when large.
template <class T>
struct BulkAllocator {
  using value_type = T;

  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}  // NOLINT: converting, as allocators are

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < kBulkBytes) return std::allocator<T>().allocate(n);
    return static_cast<T*>(AllocateBulk(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kBulkBytes) {
      std::allocator<T>().deallocate(p, n);
    } else {
      FreeBulk(p, n * sizeof(T));
    }
  }
  template <class U>
  bool operator==(const BulkAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace ps::platform
