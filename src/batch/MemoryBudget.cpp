#include "batch/MemoryBudget.h"

#include <algorithm>
#include <fstream>
#include <sstream>
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

namespace {

// A limit file's number; 0 for "max", nothing readable, or not a number.
uint64_t LimitIn(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    try {
        return std::stoull(text);
    } catch (const std::exception&) {
        return 0;
    }
}

// The least limit of `file` in `dir` and in each folder above it up to `top`.
uint64_t LeastLimitUp(std::string dir, const std::string& top, const std::string& file) {
    uint64_t least = 0;
    for (;;) {
        const uint64_t limit = LimitIn(dir + "/" + file);
        if (limit && (!least || limit < least)) least = limit;
        if (dir.size() <= top.size()) return least;
        dir.erase(dir.find_last_of('/'));
    }
}

}  // namespace

uint64_t CgroupMemoryLimit(const std::string& procCgroup, const std::string& root) {
    uint64_t least = 0;
    const auto take = [&least](uint64_t limit) {
        if (limit && (!least || limit < least)) least = limit;
    };
    std::istringstream lines(procCgroup);
    std::string line;
    while (std::getline(lines, line)) {
        // "ID:CONTROLLERS:PATH"; the path may hold colons itself.
        const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string path = line.substr(b + 1);
        if (path.empty() || path[0] != '/' || path.find("/..") != std::string::npos) continue;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (path == "/") path.clear();
        const std::string controllers = line.substr(a + 1, b - a - 1);
        std::string top;
        if (controllers.empty()) top = root;  // v2: one tree
        else if (("," + controllers + ",").find(",memory,") != std::string::npos) top = root + "/memory";
        else continue;
        take(LeastLimitUp(top + path, top, controllers.empty() ? "memory.max" : "memory.limit_in_bytes"));
    }
    return least;
}

uint64_t DefaultMemoryBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    uint64_t usable = pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
    std::ifstream in("/proc/self/cgroup");
    std::stringstream text;
    text << in.rdbuf();
    const uint64_t limit = CgroupMemoryLimit(text.str());
    if (limit && (!usable || limit < usable)) usable = limit;
    return std::max<uint64_t>(usable / 2, uint64_t{256} << 20);
}

}  // namespace quenlo
