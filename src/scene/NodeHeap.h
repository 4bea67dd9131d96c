#pragma once
// Memory of scene nodes. A scene may hold a million small nodes, and every
// render walks all of them: packed into 2 MiB slabs of one size each (asked
// to be huge pages where the system has them, once a scene fills several
// slabs), they sit densely on few pages and the walks miss the TLB and the
// caches far less than when spread over the general heap. A slab goes back
// to the system as soon as its last node is freed,
// except one kept per size so that a single node made and freed again and
// again does not map and unmap a slab each time.
//
// Nodes larger than kMaxPooledNode, and every node in sanitizer builds (so
// that use after free is still caught), come from the general heap.
#include <cstddef>

namespace quenlo {

inline constexpr std::size_t kMaxPooledNode = 1024;  // bytes
inline constexpr std::size_t kNodeAlignment = 16;    // of every block

// Memory for one node of the given size; throws std::bad_alloc.
void* AllocateNode(std::size_t bytes);
// Gives back what AllocateNode(bytes) returned, with the same bytes.
void FreeNode(void* p, std::size_t bytes) noexcept;

// Slabs held now, for the tests.
std::size_t NodeSlabCount();

}  // namespace quenlo
