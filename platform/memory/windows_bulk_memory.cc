// Bulk blocks from the ordinary heap: large pages need a privilege that a
// sweep does not hold.
#include "platform/memory/bulk_memory.h"

namespace ps::platform {

void* AllocateBulk(std::size_t bytes) { return ::operator new(bytes); }

void FreeBulk(void* block, std::size_t bytes) { ::operator delete(block, bytes); }

}  // namespace ps::platform
