#include "imageio/HeifGuard.h"

#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <new>
#include <span>
#include <utility>

#include "imageio/HeifBitstream.h"
#include "low/Errors.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

// A plugin's functions carry no user data, and libheif may decode a grid's
// tiles on threads of its own, so each guard gets a slot: a set of plugin
// functions instantiated for it, which read that slot's allowance.
constexpr int kSlots = 64;

struct TSlots {
    std::mutex lock;
    std::condition_variable freed;
    std::array<bool, kSlots> busy{};
    std::array<uint64_t, kSlots> allowance{};
};
TSlots& Slots() {
    static TSlots slots;
    return slots;
}

// The decoder libheif itself would pick; heif_get_decoder_descriptors
// hands out the plugins it holds.
const heif_decoder_plugin* Inner(heif_compression_format format) {
    const heif_decoder_descriptor* d = nullptr;
    if (heif_get_decoder_descriptors(format, &d, 1) < 1 || !d) return nullptr;
    return reinterpret_cast<const heif_decoder_plugin*>(d);
}

heif_error Refusal(const char* message) {
    return {heif_error_Memory_allocation_error, heif_suberror_Security_limit_exceeded, message};
}

struct TDecoder {
    const heif_decoder_plugin* inner;
    void* decoder = nullptr;
};

template <int Slot, heif_compression_format Format>
struct TGuardPlugin {
    static const char* Name() { return "QUENLO size guard"; }
    static int Supports(heif_compression_format f) {
        const heif_decoder_plugin* inner = f == Format ? Inner(f) : nullptr;
        return inner ? inner->does_support_format(f) + 1 : 0;
    }
    static heif_error New(void** out) {
        const heif_decoder_plugin* inner = Inner(Format);
        if (!inner) return {heif_error_Unsupported_feature, heif_suberror_Unsupported_codec, "no decoder"};
        auto* d = new (std::nothrow) TDecoder{inner};
        if (!d) return Refusal("out of memory");
        const heif_error e = inner->new_decoder(&d->decoder);
        if (e.code != heif_error_Ok) {
            delete d;
            return e;
        }
        *out = d;
        return e;
    }
    static void Free(void* p) {
        auto* d = static_cast<TDecoder*>(p);
        d->inner->free_decoder(d->decoder);
        delete d;
    }
    static heif_error Push(void* p, const void* data, size_t size) {
        auto* d = static_cast<TDecoder*>(p);
        const std::span bytes(static_cast<const uint8_t*>(data), size);
        try {
            const CodedSize s = Format == heif_compression_AV1 ? LargestAv1Picture(bytes) : LargestHevcPicture(bytes);
            uint64_t allowed;
            {
                std::lock_guard hold(Slots().lock);
                allowed = Slots().allowance[Slot];
            }
            if (s.Pixels() > allowed) return Refusal("the coded picture is larger than the image the file declares");
        } catch (const EInvalidGraphic&) {
            return {heif_error_Invalid_input, heif_suberror_Unspecified, "a parameter header is cut short"};
        }
        return d->inner->push_data(d->decoder, data, size);
    }
    static heif_error Decode(void* p, heif_image** out) {
        auto* d = static_cast<TDecoder*>(p);
        return d->inner->decode_image(d->decoder, out);
    }
    static void Strict(void* p, int flag) {
        auto* d = static_cast<TDecoder*>(p);
        if (d->inner->plugin_api_version >= 2 && d->inner->set_strict_decoding)
            d->inner->set_strict_decoding(d->decoder, flag);
    }
    static constexpr heif_decoder_plugin kPlugin = {
        2, &Name, nullptr, nullptr, &Supports, &New, &Free, &Push, &Decode, &Strict, nullptr,
    };
};

template <int Slot>
bool RegisterSlot(heif_context* ctx) {
    return heif_register_decoder(ctx, &TGuardPlugin<Slot, heif_compression_HEVC>::kPlugin).code == heif_error_Ok &&
           heif_register_decoder(ctx, &TGuardPlugin<Slot, heif_compression_AV1>::kPlugin).code == heif_error_Ok;
}

template <int... I>
constexpr std::array<bool (*)(heif_context*), kSlots> MakeRegistrars(std::integer_sequence<int, I...>) {
    return {&RegisterSlot<I>...};
}
constexpr auto kRegistrars = MakeRegistrars(std::make_integer_sequence<int, kSlots>{});

}  // namespace

THeifGuard::THeifGuard(uint64_t maxPixels) {
    TSlots& s = Slots();
    std::unique_lock hold(s.lock);
    for (;;) {
        for (int i = 0; i < kSlots; ++i)
            if (!s.busy[i]) {
                s.busy[i] = true;
                s.allowance[i] = maxPixels;
                slot_ = i;
                return;
            }
        s.freed.wait(hold);
    }
}

THeifGuard::~THeifGuard() {
    TSlots& s = Slots();
    {
        std::lock_guard hold(s.lock);
        s.busy[slot_] = false;
    }
    s.freed.notify_one();
}

void THeifGuard::Register(heif_context* ctx) const {
    if (!kRegistrars[slot_](ctx)) throw EInvalidGraphic(Tr("HEIF: the decoders could not be guarded"));
}

}  // namespace quenlo
