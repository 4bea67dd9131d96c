#include "low/TextArena.h"

#include <algorithm>
#include <cstring>

#include "low/Errors.h"

namespace quenlo {

namespace {
// Large enough that the block list stays short, small enough that the unused
// end of the last block is a few pages (pages never written are not resident).
constexpr size_t kBlockBytes = size_t{1} << 20;
}  // namespace

TTextArena::Ref TTextArena::Add(std::string_view text) {
    if (text.size() >= UINT32_MAX) throw EQuenlo("a name of 4 GiB or more");
    if (blocks_.empty() || room_ - used_ < text.size()) {
        if (blocks_.size() >= UINT32_MAX) throw EQuenlo("too many names");
        // A string longer than a block gets a block of its own size.
        room_ = std::max(kBlockBytes, text.size());
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(room_));
        used_ = 0;
    }
    const Ref ref{static_cast<uint64_t>(blocks_.size() - 1) << 32 | used_, static_cast<uint32_t>(text.size())};
    if (!text.empty()) std::memcpy(blocks_.back().get() + used_, text.data(), text.size());
    used_ += text.size();
    return ref;
}

}  // namespace quenlo
