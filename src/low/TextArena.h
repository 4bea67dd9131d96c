#pragma once
// Many short strings packed end to end in blocks, for lists of millions of
// names: a string costs its bytes and no allocation of its own, and growing
// never copies what is held (a vector of strings doubles, and each string
// carries 32 bytes and a heap block).
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace quenlo {

class TTextArena {
public:
    // Where a string is held; valid for the arena's life.
    struct Ref {
        uint64_t at = 0;  // block number << 32 | offset
        uint32_t size = 0;
    };

    // Throws EQuenlo when a string is 4 GiB or more.
    Ref Add(std::string_view text);
    std::string_view View(Ref ref) const {
        return {blocks_[ref.at >> 32].get() + (ref.at & 0xffffffffu), ref.size};
    }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0;  // in the last block
    size_t room_ = 0;  // the last block's size
};

}  // namespace quenlo
