#pragma once
// Bytes of memory shared by the jobs of a batch: each item reserves what its
// image will take before taking it, and waits while the others hold too much.
// Large images so run one after another instead of side by side, and the
// batch's memory stays near the budget whatever -j is.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace quenlo {

class TMemoryBudget {
public:
    explicit TMemoryBudget(uint64_t bytes);
    TMemoryBudget(const TMemoryBudget&) = delete;
    TMemoryBudget& operator=(const TMemoryBudget&) = delete;

    // Held until released: returned to the budget when the last copy goes.
    using Reservation = std::shared_ptr<void>;
    // Waits until the bytes fit beside what is held; more than the whole
    // budget waits until nothing else is held. A thread must not wait while
    // it holds a reservation of its own.
    Reservation Reserve(uint64_t bytes);

    uint64_t Total() const { return total_; }
    uint64_t Held() const;

private:
    void Release(uint64_t bytes);

    const uint64_t total_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    uint64_t held_ = 0;
};

// Half the machine's physical memory, at least 256 MiB.
uint64_t DefaultMemoryBudget();

}  // namespace quenlo
