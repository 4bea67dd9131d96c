#pragma once
// The picture sizes a HEVC or AV1 bitstream asks its decoder for, read from
// its parameter headers: a file whose boxes claim a small image can carry a
// bitstream that makes the decoder allocate gigabytes.
#include <cstdint>
#include <span>

namespace quenlo {

struct CodedSize {
    uint32_t width = 0, height = 0;
    uint64_t Pixels() const { return uint64_t(width) * height; }
};

// The largest picture any parameter header in data asks for, data being
// what libheif hands a decoder: HEVC NAL units each after a 4-byte
// big-endian length, or AV1 OBUs. Throws EInvalidGraphic when the framing
// or a parameter header is cut short, since the decoder's reading of it
// cannot then be known.
CodedSize LargestHevcPicture(std::span<const uint8_t> data);
CodedSize LargestAv1Picture(std::span<const uint8_t> data);

}  // namespace quenlo
