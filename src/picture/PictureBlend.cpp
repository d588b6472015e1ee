#include "picture/PictureBlend.h"
#include "picture/VectorClones.h"

namespace oculo {
namespace {
constexpr quint32 opaque = 0xff000000u;
} // namespace

void blendPremultiplied(uchar* pixels, qsizetype stride, const QRect& pixelsRect,
                        const quint32* overlay, const QRect& overlayRect) {
    const QRect area = pixelsRect.intersected(overlayRect);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* destination = reinterpret_cast<quint32*>(pixels + (y - pixelsRect.top()) * stride) +
                            (area.left() - pixelsRect.left());
        const quint32* source = overlay + qsizetype(y - overlayRect.top()) * overlayRect.width() +
                                (area.left() - overlayRect.left());
        for (int x = 0; x < area.width(); ++x) {
            const quint32 s = source[x];
            const quint32 alpha = s >> 24;
            if (alpha == 0) {
                continue;
            }
            if (alpha == 255) {
                destination[x] = s;
                continue;
            }
            const quint32 d = destination[x];
            const quint32 inverse = 255 - alpha;
            // Per channel: s + d * (1 - a), with a rounding division by 255.
            auto channel = [&](int shift) {
                const quint32 dc = (d >> shift) & 0xff;
                quint32 t = dc * inverse + 128;
                t = (t + (t >> 8)) >> 8;
                return std::min<quint32>(((s >> shift) & 0xff) + t, 255) << shift;
            };
            destination[x] = opaque | channel(16) | channel(8) | channel(0);
        }
    }
}

namespace {

// Per channel s + d * (255 - alpha) / 255, rounded as QPainter does; the
// result never exceeds 255 for premultiplied colours.
inline quint32 over(quint32 s, quint32 d) {
    const quint32 inverse = 255 - (s >> 24);
    quint32 redBlue = (d & 0xff00ffu) * inverse;
    redBlue = ((redBlue + ((redBlue >> 8) & 0xff00ffu) + 0x800080u) >> 8) & 0xff00ffu;
    quint32 green = ((d >> 8) & 0xffu) * inverse;
    green = ((green + (green >> 8) + 0x80u) >> 8) & 0xffu;
    return opaque | (s + (redBlue | green << 8));
}

#if OCULO_HAS_AVX2
using Bytes = uchar __attribute__((vector_size(16)));
using Shorts = quint16 __attribute__((vector_size(32)));

// Four pixels at once, a channel per 16-bit lane.
OCULO_AVX2
void blendOverAvx2(const quint32* overlay, quint32* pixels, quint32* kept, int count) {
    const Bytes alpha = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Bytes s;
        Bytes d;
        std::memcpy(&s, overlay + i, sizeof s);
        std::memcpy(&d, pixels + i, sizeof d);
        const Bytes a =
            __builtin_shufflevector(s, s, 3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15);
        Shorts t = __builtin_convertvector(d, Shorts) * (255 - __builtin_convertvector(a, Shorts));
        t = (t + (t >> 8) + 128) >> 8;
        const Bytes result = (s + __builtin_convertvector(t, Bytes)) | alpha;
        std::memcpy(kept + i, &d, sizeof d);
        std::memcpy(pixels + i, &result, sizeof result);
    }
    for (; i < count; ++i) {
        kept[i] = pixels[i];
        pixels[i] = over(overlay[i], pixels[i]);
    }
}
#endif

} // namespace

void blendOver(const quint32* overlay, quint32* pixels, quint32* kept, int count) {
#if OCULO_HAS_AVX2
    if (__builtin_cpu_supports("avx2")) {
        blendOverAvx2(overlay, pixels, kept, count);
        return;
    }
#endif
    for (int i = 0; i < count; ++i) {
        kept[i] = pixels[i];
        pixels[i] = over(overlay[i], pixels[i]);
    }
}

} // namespace oculo
