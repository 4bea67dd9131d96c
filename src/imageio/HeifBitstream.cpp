#include "imageio/HeifBitstream.h"

#include <algorithm>
#include <vector>

#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

[[noreturn]] void CutShort(const char* what) { throw EInvalidGraphic(std::string("HEIF: ") + what + " is cut short"); }

// Bits most significant first; reading past the end throws.
class TBits {
public:
    explicit TBits(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint32_t Get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos_ >= bytes_.size() * 8) CutShort("a parameter header");
            v = v << 1 | ((bytes_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
            ++pos_;
        }
        return v;
    }
    void Skip(int n) {
        for (; n > 0; n -= 16) Get(std::min(n, 16));
    }
    // Exp-Golomb ue(v); 32 leading zeros or more is no value a size can take.
    uint32_t Ue() {
        int zeros = 0;
        while (Get(1) == 0)
            if (++zeros > 31) throw EInvalidGraphic(Tr("HEIF: a parameter header holds an impossible number"));
        return uint32_t((uint64_t(1) << zeros) - 1 + Get(zeros));
    }
    // AV1's uvlc(): the same code, saturating instead of refusing.
    void SkipUvlc() {
        int zeros = 0;
        while (Get(1) == 0) ++zeros;
        if (zeros < 32) Get(zeros);
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// A NAL unit's payload without its emulation prevention bytes (the 3 of
// each 00 00 03).
std::vector<uint8_t> Unescaped(std::span<const uint8_t> nal) {
    std::vector<uint8_t> out;
    out.reserve(nal.size());
    int zeros = 0;
    for (uint8_t b : nal) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

// seq_parameter_set_rbsp() up to pic_height_in_luma_samples.
CodedSize HevcSps(std::span<const uint8_t> nal) {
    const std::vector<uint8_t> rbsp = Unescaped(nal.subspan(2));
    TBits b(rbsp);
    b.Skip(4);  // sps_video_parameter_set_id
    const int subLayers = int(b.Get(3));
    b.Skip(1);
    // profile_tier_level(1, subLayers): the general profile (88 bits) and
    // level (8), then per sub-layer flags that say what follows.
    b.Skip(96);
    bool profile[8] = {}, level[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profile[i] = b.Get(1);
        level[i] = b.Get(1);
    }
    if (subLayers > 0) b.Skip(2 * (8 - subLayers));
    for (int i = 0; i < subLayers; ++i) b.Skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
    b.Ue();  // sps_seq_parameter_set_id
    if (b.Ue() == 3) b.Skip(1);  // chroma_format_idc 4:4:4, separate_colour_plane_flag
    CodedSize s;
    s.width = b.Ue();
    s.height = b.Ue();
    return s;
}

// sequence_header_obu() up to max_frame_height_minus_1.
CodedSize Av1SequenceHeader(std::span<const uint8_t> payload) {
    TBits b(payload);
    b.Skip(3 + 1);  // seq_profile, still_picture
    if (b.Get(1)) {  // reduced_still_picture_header
        b.Skip(5);
    } else {
        bool decoderModel = false;
        int delayBits = 0;
        if (b.Get(1)) {  // timing_info_present_flag
            b.Skip(64);
            if (b.Get(1)) b.SkipUvlc();  // equal_picture_interval
            decoderModel = b.Get(1);
            if (decoderModel) {
                delayBits = int(b.Get(5)) + 1;
                b.Skip(32 + 5 + 5);
            }
        }
        const bool displayDelay = b.Get(1);
        const int points = int(b.Get(5)) + 1;
        for (int i = 0; i < points; ++i) {
            b.Skip(12);
            if (b.Get(5) > 7) b.Skip(1);  // seq_level_idx, seq_tier
            if (decoderModel && b.Get(1)) b.Skip(2 * delayBits + 1);
            if (displayDelay && b.Get(1)) b.Skip(4);
        }
    }
    const int widthBits = int(b.Get(4)) + 1;
    const int heightBits = int(b.Get(4)) + 1;
    CodedSize s;
    s.width = b.Get(widthBits) + 1;
    s.height = b.Get(heightBits) + 1;
    return s;
}

void Keep(CodedSize& largest, const CodedSize& s) {
    if (s.Pixels() > largest.Pixels() || (s.Pixels() == largest.Pixels() && s.width > largest.width)) largest = s;
}

}  // namespace

CodedSize LargestHevcPicture(std::span<const uint8_t> data) {
    CodedSize largest;
    size_t at = 0;
    while (at < data.size()) {
        if (data.size() - at < 4) CutShort("a NAL unit's length");
        const uint32_t n = uint32_t(data[at]) << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
        at += 4;
        if (n > data.size() - at) CutShort("a NAL unit");
        const std::span<const uint8_t> nal = data.subspan(at, n);
        at += n;
        if (nal.size() >= 2 && (nal[0] >> 1 & 0x3f) == 33) Keep(largest, HevcSps(nal));
    }
    return largest;
}

CodedSize LargestAv1Picture(std::span<const uint8_t> data) {
    CodedSize largest;
    size_t at = 0;
    while (at < data.size()) {
        const uint8_t header = data[at++];
        const int type = header >> 3 & 15;
        if (header & 4) {  // obu_extension_flag
            if (at >= data.size()) CutShort("an OBU header");
            ++at;
        }
        size_t size = data.size() - at;
        if (header & 2) {  // obu_has_size_field: leb128
            uint64_t v = 0;
            for (int i = 0;; ++i) {
                if (i == 8 || at >= data.size()) CutShort("an OBU size");
                const uint8_t byte = data[at++];
                v |= uint64_t(byte & 0x7f) << (7 * i);
                if (!(byte & 0x80)) break;
            }
            if (v > data.size() - at) CutShort("an OBU");
            size = size_t(v);
        }
        if (type == 1) Keep(largest, Av1SequenceHeader(data.subspan(at, size)));
        at += size;
    }
    return largest;
}

}  // namespace quenlo
