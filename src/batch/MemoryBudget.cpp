#include "batch/MemoryBudget.h"

#include <algorithm>
#include <unistd.h>

namespace quenlo {

TMemoryBudget::TMemoryBudget(uint64_t bytes) : total_(std::max<uint64_t>(bytes, 1)) {}

TMemoryBudget::Reservation TMemoryBudget::Reserve(uint64_t bytes) {
    // One image larger than the budget gets all of it, alone.
    const uint64_t take = std::min(bytes, total_);
    {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return held_ + take <= total_; });
        held_ += take;
    }
    // The deleter gives the bytes back; the pointer itself is only a token.
    return Reservation(this, [take](TMemoryBudget* budget) { budget->Release(take); });
}

uint64_t TMemoryBudget::Held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void TMemoryBudget::Release(uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        held_ -= bytes;
    }
    freed_.notify_all();
}

uint64_t DefaultMemoryBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    const uint64_t physical = pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
    return std::max<uint64_t>(physical / 2, uint64_t{256} << 20);
}

}  // namespace quenlo
