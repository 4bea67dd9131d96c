#pragma once
// Bytes of memory shared by the jobs of a batch: each item reserves what its
// image will take before taking it, and waits while the others hold too much.
// Large images so run one after another instead of side by side, and the
// batch's memory stays near the budget whatever -j is.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

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

// Half the memory the process may use, at least 256 MiB: the machine's
// physical memory, or its cgroup's limit where that is less (a container's,
// a Slurm job's), so that a batch is not killed for what the machine has.
uint64_t DefaultMemoryBudget();

// The least memory limit, in bytes, of the cgroups that `procCgroup` (the
// text of /proc/self/cgroup) names and of their parents, read below `root`
// (cgroup v2's memory.max, v1's memory/memory.limit_in_bytes); 0 for none.
uint64_t CgroupMemoryLimit(const std::string& procCgroup, const std::string& root = "/sys/fs/cgroup");

}  // namespace quenlo
