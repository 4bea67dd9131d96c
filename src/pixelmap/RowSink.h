#pragma once
// Where rows of pixels go as they are made: an encoder, a resampler, a map.
#include <cstddef>
#include <cstdint>

namespace quenlo {

class TRowSink {
public:
    virtual ~TRowSink() = default;
    // n whole rows from the top, packed, in the width and layout the sink was made for.
    virtual void Rows(const uint8_t* rows, size_t n) = 0;
};

}  // namespace quenlo
