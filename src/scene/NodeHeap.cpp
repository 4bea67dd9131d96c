#include "scene/NodeHeap.h"

#include <cstdint>
#include <mutex>
#include <new>

#include "low/Sanitized.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define QUENLO_MAP_SLABS 1
#endif

namespace quenlo {

namespace {

constexpr bool kPooled = !kSanitized;

constexpr std::size_t kSlabBytes = std::size_t(2) << 20;  // one huge page on x86-64
constexpr std::size_t kGrain = kNodeAlignment;            // block sizes are multiples of it
constexpr std::size_t kClasses = kMaxPooledNode / kGrain + 1;

// Slabs are mapped from the system and unmapped when empty, so a freed
// scene's memory goes back at once rather than staying in the heap.
// Huge pages only once a scene is large: a huge page is all taken on the
// first touch, which a scene of a few nodes would pay for every size.
constexpr std::size_t kSmallPageSlabs = 4;

void* MapSlab(bool huge) {
#if defined(QUENLO_MAP_SLABS)
    // Twice the size, so that an aligned slab lies inside; the rest goes back.
    const std::size_t len = 2 * kSlabBytes;
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t slab = (start + kSlabBytes - 1) & ~std::uintptr_t(kSlabBytes - 1);
    if (slab > start) munmap(p, slab - start);
    if (slab + kSlabBytes < start + len)
        munmap(reinterpret_cast<void*>(slab + kSlabBytes), start + len - slab - kSlabBytes);
#if defined(MADV_HUGEPAGE)
    if (huge) madvise(reinterpret_cast<void*>(slab), kSlabBytes, MADV_HUGEPAGE);  // a hint: refused is fine
#else
    (void)huge;
#endif
    return reinterpret_cast<void*>(slab);
#else
    (void)huge;
    return ::operator new(kSlabBytes, std::align_val_t(kSlabBytes));
#endif
}

void UnmapSlab(void* slab) noexcept {
#if defined(QUENLO_MAP_SLABS)
    munmap(slab, kSlabBytes);
#else
    ::operator delete(slab, std::align_val_t(kSlabBytes));
#endif
}

// Sits at the start of its slab, so a block finds it by rounding down.
struct TSlab {
    TSlab* Prev = nullptr;  // in its size's list of slabs with room
    TSlab* Next = nullptr;
    bool Listed = false;
    void* Free = nullptr;  // freed blocks, each holding the next one's address
    char* Bump;            // blocks never handed out start here
    char* End;
    std::size_t Live = 0;
    std::size_t Block;  // bytes
};
constexpr std::size_t kHeaderBytes = (sizeof(TSlab) + 63) / 64 * 64;

struct THeap {
    std::mutex Lock;
    TSlab* WithRoom[kClasses] = {};
    std::size_t Slabs = 0;

    void List(TSlab* s, std::size_t c) {
        s->Prev = nullptr;
        s->Next = WithRoom[c];
        if (s->Next) s->Next->Prev = s;
        WithRoom[c] = s;
        s->Listed = true;
    }
    void Unlist(TSlab* s, std::size_t c) {
        (s->Prev ? s->Prev->Next : WithRoom[c]) = s->Next;
        if (s->Next) s->Next->Prev = s->Prev;
        s->Listed = false;
    }
    TSlab* NewSlab(std::size_t block) {
        void* mem = MapSlab(Slabs >= kSmallPageSlabs);
        TSlab* s = new (mem) TSlab;
        s->Bump = static_cast<char*>(mem) + kHeaderBytes;
        s->End = static_cast<char*>(mem) + kSlabBytes;
        s->Block = block;
        ++Slabs;
        return s;
    }
    void DropSlab(TSlab* s) {
        s->~TSlab();
        UnmapSlab(s);
        --Slabs;
    }
};

// Never destroyed: nodes may be freed by other static destructors.
THeap& Heap() {
    static THeap* heap = new THeap;
    return *heap;
}

}  // namespace

void* AllocateNode(std::size_t bytes) {
    if (!kPooled || bytes > kMaxPooledNode) return ::operator new(bytes);
    const std::size_t c = (bytes + kGrain - 1) / kGrain;
    THeap& h = Heap();
    std::lock_guard lock(h.Lock);
    TSlab* s = h.WithRoom[c];
    if (!s) {
        s = h.NewSlab(c * kGrain);
        h.List(s, c);
    }
    void* p;
    if (s->Free) {
        p = s->Free;
        s->Free = *static_cast<void**>(p);
    } else {
        p = s->Bump;
        s->Bump += s->Block;
    }
    ++s->Live;
    if (!s->Free && std::size_t(s->End - s->Bump) < s->Block) h.Unlist(s, c);
    return p;
}

void FreeNode(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (!kPooled || bytes > kMaxPooledNode) {
        ::operator delete(p);
        return;
    }
    const std::size_t c = (bytes + kGrain - 1) / kGrain;
    TSlab* s = reinterpret_cast<TSlab*>(reinterpret_cast<std::uintptr_t>(p) & ~(kSlabBytes - 1));
    THeap& h = Heap();
    std::lock_guard lock(h.Lock);
    *static_cast<void**>(p) = s->Free;
    s->Free = p;
    --s->Live;
    if (!s->Listed) h.List(s, c);
    // Empty: back to the system unless it is the only slab of its size with room.
    if (s->Live == 0 && (s->Prev || s->Next)) {
        h.Unlist(s, c);
        h.DropSlab(s);
    }
}

std::size_t NodeSlabCount() {
    THeap& h = Heap();
    std::lock_guard lock(h.Lock);
    return h.Slabs;
}

}  // namespace quenlo
