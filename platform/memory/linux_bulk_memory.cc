// Bulk blocks as anonymous mappings of whole 2 MB pages, aligned to them and
// marked for transparent huge pages (where the system's policy is
// "madvise", only marked ranges get them).
#include <sys/mman.h>

#include <cstdint>

#include "platform/memory/bulk_memory.h"

namespace ps::platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t Rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* AllocateBulk(std::size_t bytes) {
  const std::size_t size = Rounded(bytes);
  // Room to align the start, trimmed off both ends afterwards.
  void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(mapped, aligned - start);
  if (const std::size_t tail = start + kHugePage - aligned; tail > 0)
    munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, size, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
  return block;
}

void FreeBulk(void* block, std::size_t bytes) {
  if (block != nullptr) munmap(block, Rounded(bytes));
}

}  // namespace ps::platform
