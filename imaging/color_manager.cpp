#include "color_manager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "exceptions.h"

namespace {

[[noreturn]] void ConversionError(const char* message) { throw EColorConversionError(message); }

// Samples may sit at any address (a PNG row starts after its filter byte), so 16-bit values
// are always moved through memcpy, which compiles to a plain load or store.
inline uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

inline uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint16_t Load16(const uint8_t* p, bool swap) { return swap ? Swap16(Load16(p)) : Load16(p); }

// v * 255 / 65535 rounded down, which is v / 257.
inline uint8_t Narrow16(uint32_t v) { return static_cast<uint8_t>(v / 257); }
// v * 65535 / 255.
inline uint16_t Widen8(uint32_t v) { return static_cast<uint16_t>(v * 257); }

inline uint8_t ClampByte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
inline uint8_t RoundToByte(double v) {
    if (!(v > 0.0)) return 0;  // also catches NaN
    if (v >= 255.0) return 255;
    return static_cast<uint8_t>(std::lround(v));
}
inline uint16_t RoundToWord(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(v));
}

// Visits the selected target pixels: fn(targetIndex, sourceIndex). Bit 7 - (i mod 8) of the
// mask selects target pixel i; the source advances only over selected pixels. With every
// pixel selected both indices are the same, which lets the compiler drop the mask logic.
template <class Fn>
inline void ForEachPixel(uint32_t count, uint8_t mask, Fn&& fn) {
    if (mask == 0xFF) {
        for (size_t i = 0; i < count; ++i) fn(i, i);
        return;
    }
    size_t s = 0;
    for (size_t i = 0; i < count; ++i)
        if (mask & (0x80u >> (i & 7))) fn(i, s++);
}

// Reads the n-bit sample (n <= 16) at the given bit position, most significant bit first,
// touching only the bytes that hold its bits.
inline uint32_t ReadBits(const uint8_t* p, size_t bitPos, unsigned n) {
    size_t first = bitPos >> 3, last = (bitPos + n - 1) >> 3;
    uint32_t acc = 0;
    for (size_t b = first; b <= last; ++b) acc = (acc << 8) | p[b];
    unsigned spare = static_cast<unsigned>((last - first + 1) * 8 - (bitPos & 7) - n);
    return (acc >> spare) & ((1u << n) - 1);
}

// Writes an n-bit sample (n <= 16) at the given bit position, keeping every other bit.
inline void WriteBits(uint8_t* p, size_t bitPos, unsigned n, uint32_t value) {
    size_t first = bitPos >> 3, last = (bitPos + n - 1) >> 3;
    unsigned width = static_cast<unsigned>((last - first + 1) * 8);
    unsigned spare = width - static_cast<unsigned>(bitPos & 7) - n;
    uint32_t acc = 0;
    for (size_t b = first; b <= last; ++b) acc = (acc << 8) | p[b];
    uint32_t fieldMask = ((1u << n) - 1) << spare;
    acc = (acc & ~fieldMask) | ((value << spare) & fieldMask);
    for (size_t b = last + 1; b-- > first;) {
        p[b] = static_cast<uint8_t>(acc);
        acc >>= 8;
    }
}

// Where one colour component of a row lives: its first sample and the bytes between pixels.
// Interleaved and planar rows differ only in these two values.
struct TComponentRun {
    const uint8_t* Start = nullptr;
    size_t Stride = 0;
    const uint8_t* At(size_t pixel) const { return Start + pixel * Stride; }
};

// Sets up component runs: planar rows take one plane per component, interleaved rows take
// consecutive samples of one pixel.
void SetUpRuns(TComponentRun* runs, size_t components, const uint8_t* const* planes, bool planar,
               size_t samplesPerPixel, size_t bytesPerSample) {
    for (size_t c = 0; c < components; ++c) {
        if (planar)
            runs[c] = TComponentRun{planes[c], bytesPerSample};
        else
            runs[c] = TComponentRun{planes[0] + c * bytesPerSample, samplesPerPixel * bytesPerSample};
    }
}

// 8-bit RGB-family rows, every pixel selected, interleaved: the most common rows of all.
// SS and DS are the samples per source and target pixel; alpha is copied when both are 4.
template <size_t SS, size_t DS, bool Exchange, bool Gamma>
void Rgb8Interleaved(const uint8_t* src, uint8_t* dst, uint32_t count, const uint8_t* gamma) {
    constexpr size_t first = Exchange ? 2 : 0, last = Exchange ? 0 : 2;
    size_t i = 0;
    if constexpr (SS == 3 && DS == 3 && Exchange && !Gamma) {
        // Four pixels are three 32-bit words; shuffling whole words is several times faster
        // than moving single bytes.
        for (; i + 4 <= count; i += 4, src += 12, dst += 12) {
            uint32_t w0 = Load32(src), w1 = Load32(src + 4), w2 = Load32(src + 8);
            // source bytes: w0 = r0 g0 b0 r1, w1 = g1 b1 r2 g2, w2 = b2 r3 g3 b3
            uint32_t o0 = ((w0 >> 16) & 0xFFu) | (w0 & 0xFF00u) | ((w0 & 0xFFu) << 16) | ((w1 & 0xFF00u) << 16);
            uint32_t o1 = (w1 & 0xFFu) | ((w0 >> 16) & 0xFF00u) | ((w2 & 0xFFu) << 16) | (w1 & 0xFF000000u);
            uint32_t o2 = ((w1 >> 16) & 0xFFu) | ((w2 >> 16) & 0xFF00u) | (w2 & 0xFF0000u) | ((w2 & 0xFF00u) << 16);
            Store32(dst, o0);
            Store32(dst + 4, o1);
            Store32(dst + 8, o2);
        }
    } else if constexpr (SS == 4 && DS == 4 && Exchange && !Gamma) {
        // Two pixels per 64-bit word: green and alpha stay, red and blue trade places.
        for (; i + 2 <= count; i += 2, src += 8, dst += 8) {
            uint64_t v;
            std::memcpy(&v, src, sizeof v);
            v = (v & 0xFF00FF00FF00FF00u) | ((v >> 16) & 0x000000FF000000FFu) | ((v & 0x000000FF000000FFu) << 16);
            std::memcpy(dst, &v, sizeof v);
        }
    }
    for (; i < count; ++i, src += SS, dst += DS) {
        uint8_t c0 = src[0], c1 = src[1], c2 = src[2];
        if constexpr (Gamma) {
            c0 = gamma[c0];
            c1 = gamma[c1];
            c2 = gamma[c2];
        }
        dst[first] = c0;
        dst[1] = c1;
        dst[last] = c2;
        if constexpr (SS == 4 && DS == 4) dst[3] = src[3];
    }
}

template <bool Exchange, bool Gamma>
void Rgb8InterleavedBySteps(size_t ss, size_t ds, const uint8_t* src, uint8_t* dst, uint32_t count,
                            const uint8_t* gamma) {
    if (ss == 3) {
        if (ds == 3)
            Rgb8Interleaved<3, 3, Exchange, Gamma>(src, dst, count, gamma);
        else
            Rgb8Interleaved<3, 4, Exchange, Gamma>(src, dst, count, gamma);
    } else {
        if (ds == 3)
            Rgb8Interleaved<4, 3, Exchange, Gamma>(src, dst, count, gamma);
        else
            Rgb8Interleaved<4, 4, Exchange, Gamma>(src, dst, count, gamma);
    }
}

// 16-bit RGB-family samples narrowed to 8 bits, every pixel selected, interleaved. Gamma is
// a table lookup either way (the identity table when off), so it costs no branch.
template <size_t SS, size_t DS, bool Exchange, bool Swap>
void Rgb16To8Interleaved(const uint8_t* src, uint8_t* dst, uint32_t count, const uint8_t* gamma) {
    constexpr size_t first = Exchange ? 2 : 0, last = Exchange ? 0 : 2;
    for (size_t i = 0; i < count; ++i, src += 2 * SS, dst += DS) {
        dst[first] = gamma[Narrow16(Load16(src, Swap))];
        dst[1] = gamma[Narrow16(Load16(src + 2, Swap))];
        dst[last] = gamma[Narrow16(Load16(src + 4, Swap))];
        if constexpr (SS == 4 && DS == 4) dst[3] = Narrow16(Load16(src + 6, Swap));
    }
}

template <bool Exchange, bool Swap>
void Rgb16To8InterleavedBySteps(size_t ss, size_t ds, const uint8_t* src, uint8_t* dst, uint32_t count,
                                const uint8_t* gamma) {
    if (ss == 3) {
        if (ds == 3)
            Rgb16To8Interleaved<3, 3, Exchange, Swap>(src, dst, count, gamma);
        else
            Rgb16To8Interleaved<3, 4, Exchange, Swap>(src, dst, count, gamma);
    } else {
        if (ds == 3)
            Rgb16To8Interleaved<4, 3, Exchange, Swap>(src, dst, count, gamma);
        else
            Rgb16To8Interleaved<4, 4, Exchange, Swap>(src, dst, count, gamma);
    }
}

// 8-bit planar RGB-family rows without gamma, every pixel selected (Photoshop, SGI, TIFF).
template <size_t DS, bool Exchange, bool Alpha>
void Rgb8Planar(const uint8_t* const* planes, uint8_t* dst, uint32_t count) {
    constexpr size_t first = Exchange ? 2 : 0, last = Exchange ? 0 : 2;
    const uint8_t *p0 = planes[0], *p1 = planes[1], *p2 = planes[2], *p3 = planes[3];
    for (size_t i = 0; i < count; ++i, dst += DS) {
        dst[first] = p0[i];
        dst[1] = p1[i];
        dst[last] = p2[i];
        if constexpr (Alpha) dst[3] = p3[i];
    }
}

template <bool Exchange>
void Rgb8PlanarBySteps(size_t ds, bool copyAlpha, const uint8_t* const* planes, uint8_t* dst, uint32_t count) {
    if (ds == 3)
        Rgb8Planar<3, Exchange, false>(planes, dst, count);
    else if (copyAlpha)
        Rgb8Planar<4, Exchange, true>(planes, dst, count);
    else
        Rgb8Planar<4, Exchange, false>(planes, dst, count);
}

// Packed samples of 1, 2, 4 or 8 bits rescaled to another of these depths, every pixel
// selected. Target bytes are assembled whole; only the bits after the last pixel of a
// partly used final byte are kept.
void PackedPowerOfTwoRow(const uint8_t* src, unsigned sb, uint8_t* dst, unsigned tb, uint32_t count,
                         const uint16_t* scaled) {
    const unsigned perByte = 8 / sb;
    const uint32_t sampleMask = (1u << sb) - 1;
    uint32_t acc = 0;
    unsigned bits = 0;
    for (size_t i = 0; i < count;) {
        const uint32_t byte = *src++;
        const unsigned n = static_cast<unsigned>(std::min<size_t>(perByte, count - i));
        for (unsigned k = 0; k < n; ++k) {
            acc = (acc << tb) | scaled[(byte >> (8 - sb * (k + 1))) & sampleMask];
            bits += tb;
            if (bits >= 8) {
                bits -= 8;
                *dst++ = static_cast<uint8_t>(acc >> bits);
            }
        }
        i += n;
    }
    if (bits > 0) {
        const uint32_t keep = (1u << (8 - bits)) - 1;
        *dst = static_cast<uint8_t>(((acc << (8 - bits)) & ~keep) | (*dst & keep));
    }
}

constexpr std::array<uint8_t, 256> MakeIdentityTable() {
    std::array<uint8_t, 256> t{};
    for (size_t i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
    return t;
}
constexpr std::array<uint8_t, 256> IdentityTable = MakeIdentityTable();

// Every RGB-family case: any mask, planar or interleaved, 8 or 16 bits on either side.
struct TRgbRow {
    TComponentRun Source[4];
    uint8_t* Target = nullptr;
    size_t TargetStride = 0;  // bytes per target pixel
    size_t Position[3]{};     // target sample of the first, second and third source component
    bool CopyAlpha = false;
    bool Swap = false;
    const uint8_t* Gamma = nullptr;  // null when off
};

template <unsigned SB, unsigned TB>
void RgbAnyRow(const TRgbRow& r, uint32_t count, uint8_t mask) {
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        uint8_t* out = r.Target + t * r.TargetStride;
        for (size_t c = 0; c < 3; ++c) {
            const uint8_t* in = r.Source[c].At(s);
            if constexpr (SB == 8 && TB == 8) {
                uint8_t v = *in;
                out[r.Position[c]] = r.Gamma ? r.Gamma[v] : v;
            } else if constexpr (SB == 8 && TB == 16) {
                uint8_t v = r.Gamma ? r.Gamma[*in] : *in;
                uint16_t w = Widen8(v);
                Store16(out + 2 * r.Position[c], r.Swap ? Swap16(w) : w);
            } else if constexpr (SB == 16 && TB == 8) {
                uint8_t v = Narrow16(Load16(in, r.Swap));
                out[r.Position[c]] = r.Gamma ? r.Gamma[v] : v;
            } else {
                Store16(out + 2 * r.Position[c], Load16(in, r.Swap));
            }
        }
        if (r.CopyAlpha) {
            const uint8_t* in = r.Source[3].At(s);
            if constexpr (SB == 8 && TB == 8) {
                out[3] = *in;
            } else if constexpr (SB == 8 && TB == 16) {
                uint16_t w = Widen8(*in);
                Store16(out + 6, r.Swap ? Swap16(w) : w);
            } else if constexpr (SB == 16 && TB == 8) {
                out[3] = Narrow16(Load16(in, r.Swap));
            } else {
                Store16(out + 6, Load16(in, r.Swap));
            }
        }
    });
}

// Reads one 8-bit or 16-bit sample (16-bit ones narrowed) as 0..255.
inline uint8_t Sample8(const uint8_t* p, bool wide, bool swap) { return wide ? Narrow16(Load16(p, swap)) : *p; }

// Stores three 8-bit results at the target positions, widened for 16-bit targets.
inline void StoreTriple(uint8_t* out, bool wideTarget, const size_t* position, uint8_t c0, uint8_t c1, uint8_t c2) {
    if (wideTarget) {
        Store16(out + 2 * position[0], Widen8(c0));
        Store16(out + 2 * position[1], Widen8(c1));
        Store16(out + 2 * position[2], Widen8(c2));
    } else {
        out[position[0]] = c0;
        out[position[1]] = c1;
        out[position[2]] = c2;
    }
}

// Lookup values of the YCC tables. Weights come from files; a zero green weight must not turn
// into an infinite table value, and the sums built from the tables must not overflow.
int32_t TableValue(double v) {
    if (!std::isfinite(v)) return 0;
    v = std::clamp(v, -1048576.0, 1048576.0);
    return static_cast<int32_t>(std::nearbyint(v));
}

bool IsIndexedOrGray(TPixelModel m) { return m == pmIndexed || m == pmGray || m == pmGrayAlpha; }
bool IsRGBOrder(TPixelModel m) { return m == pmRGB || m == pmRGBA; }
bool IsBGROrder(TPixelModel m) { return m == pmBGR || m == pmBGRA; }
bool HasAlpha(TPixelModel m) { return m == pmGrayAlpha || m == pmRGBA || m == pmBGRA; }

}  // namespace

TColorManager::TColorManager() { SetGammaPair(FMainGamma, FDisplayGamma); }

namespace {
// Stores a new description value and notes that the converter must be chosen again.
template <class Field, class Value>
void Describe(Field& field, Value value, bool& changed) {
    if (static_cast<Field>(value) == field) return;
    field = static_cast<Field>(value);
    changed = true;
}
}  // namespace

void TColorManager::SetSourceSampleBits(int bits) {
    if (bits < 1 || bits > 16) ConversionError(gesInvalidSampleDepth);
    Describe(FSourceBPS, bits, FChanged);
}

void TColorManager::SetTargetSampleBits(int bits) {
    if (bits < 1 || bits > 16) ConversionError(gesInvalidSampleDepth);
    Describe(FTargetBPS, bits, FChanged);
}

void TColorManager::SetSourceSampleCount(int count) {
    if (count < 1 || count > 4) ConversionError(gesInvalidPixelScheme);
    Describe(FSourceSPP, count, FChanged);
}

void TColorManager::SetTargetSampleCount(int count) {
    if (count < 1 || count > 4) ConversionError(gesInvalidPixelScheme);
    Describe(FTargetSPP, count, FChanged);
}

void TColorManager::SetSourceModel(TPixelModel model) { Describe(FSourceScheme, model, FChanged); }

void TColorManager::SetTargetModel(TPixelModel model) { Describe(FTargetScheme, model, FChanged); }

unsigned TColorManager::TargetDepth() const {
    return FTargetSPP == 1 && (FTargetBPS == 2 || FTargetBPS == 3) ? 4u : FTargetBPS;
}

TPixelFormat TColorManager::TargetBitmapFormat() const {
    const unsigned bps = TargetDepth();
    switch (FTargetSPP) {
        case 1:
            if (bps == 1) return pf1bit;
            if (bps <= 4) return pf4bit;
            if (bps >= 8) return pf8bit;
            return pfCustom;
        case 3: return bps <= 5 ? pf15bit : pf24bit;
        case 4: return bps >= 8 ? pf32bit : pfCustom;
        default: return pfCustom;
    }
}

void TColorManager::SetGammaPair(float imageGamma, float screenGamma) {
    FMainGamma = (std::isfinite(imageGamma) && imageGamma > 0) ? imageGamma : 1.0f;
    FDisplayGamma = (std::isfinite(screenGamma) && screenGamma > 0) ? screenGamma : 2.2f;
    FGammaExponent = 1.0 / (static_cast<double>(FMainGamma) * static_cast<double>(FDisplayGamma));
    if (!std::isfinite(FGammaExponent)) FGammaExponent = 1.0;
    FGammaPending = true;
}

void TColorManager::BuildGammaTable() const {
    for (int i = 0; i <= 255; ++i) {
        double v = std::nearbyint(std::pow(i / 255.0, FGammaExponent) * 255);
        FGammaTable[static_cast<size_t>(i)] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
    }
    FGammaPending = false;
}

void TColorManager::SetYCbCrWeights(std::span<const float> coefficients, int horizontalSubsampling,
                                    int verticalSubsampling) {
    for (size_t i = 0; i < coefficients.size() && i < FYCbCrCoefficients.size(); ++i)
        FYCbCrCoefficients[i] = coefficients[i];
    // The tables derive from the weights; choose again so that they are rebuilt.
    if (!coefficients.empty()) FChanged = true;
    auto valid = [](int v) { return v == 1 || v == 2 || v == 4; };
    if (!valid(horizontalSubsampling) || !valid(verticalSubsampling)) ConversionError(gesInvalidSubSampling);
    if (verticalSubsampling > horizontalSubsampling) ConversionError(gesVerticalSubSamplingError);
    FHSubsampling = static_cast<uint8_t>(horizontalSubsampling);
    FVSubsampling = static_cast<uint8_t>(verticalSubsampling);
}

void TColorManager::BuildYCCTables(int crCentre, int cbCentre) {
    const float red = FYCbCrCoefficients[0], green = FYCbCrCoefficients[1], blue = FYCbCrCoefficients[2];
    const float a = 2 - 2 * red;
    const float b = red * a / green;
    const float c = 2 - 2 * blue;
    const float d = blue * c / green;
    for (int i = 0; i < 256; ++i) {
        const double cr = i - crCentre, cb = i - cbCentre;
        const size_t k = static_cast<size_t>(i);
        FCrToRedTable[k] = TableValue(a * cr);
        FCbToBlueTable[k] = TableValue(c * cb);
        FCrToGreenTable[k] = -TableValue(b * cr);
        FCbToGreenTable[k] = -TableValue(d * cb);
    }
}

void TColorManager::SelectConverter() {
    FRowConversion = nullptr;
    const bool targetIndexed = FTargetScheme == pmIndexed || FTargetScheme == pmGray;
    if (IsIndexedOrGray(FSourceScheme) != targetIndexed) ConversionError(gesIndexedNotSupported);

    FSourceHasAlpha = HasAlpha(FSourceScheme);
    FTargetHasAlpha = HasAlpha(FTargetScheme);
    FSourceOptions = static_cast<TConversionFlags>(FSourceHasAlpha ? (FSourceOptions | cfAlphaChannel)
                                                                   : (FSourceOptions & ~cfAlphaChannel));
    FTargetOptions = static_cast<TConversionFlags>(FTargetHasAlpha ? (FTargetOptions | cfAlphaChannel)
                                                                   : (FTargetOptions & ~cfAlphaChannel));

    const unsigned sb = FSourceBPS, tb = TargetDepth();
    const bool toRGB = IsRGBOrder(FTargetScheme), toBGR = IsBGROrder(FTargetScheme);
    switch (FSourceScheme) {
        case pmIndexed:
            if (sb == 16 && tb == 16)
                FRowConversion = &TColorManager::RowIndexed16To16;
            else if (sb == 16)
                FRowConversion = &TColorManager::RowIndexed16ToPacked;
            else if (tb == 16)
                FRowConversion = &TColorManager::RowPackedToIndexed16;
            else
                FRowConversion = &TColorManager::RowPackedToPacked;
            break;
        case pmGray:
            if (sb != 16 && tb != 16)
                FRowConversion = &TColorManager::RowPackedToPacked;
            else if (sb >= 8 && tb >= 8)
                FRowConversion = &TColorManager::RowGray8And16;
            break;
        case pmGrayAlpha:
            if ((sb == 8 || sb == 16) && (tb == 8 || tb == 16)) FRowConversion = &TColorManager::RowGray8And16;
            break;
        case pmRGB:
        case pmRGBA:
            if (toRGB) FRowConversion = &TColorManager::RowRGBKeepOrder;
            if (toBGR) FRowConversion = &TColorManager::RowRGBSwapOrder;
            break;
        case pmBGR:
        case pmBGRA:
            if (toRGB) FRowConversion = &TColorManager::RowRGBSwapOrder;
            if (toBGR) FRowConversion = &TColorManager::RowRGBKeepOrder;
            break;
        case pmCMYK:
            if (toRGB) FRowConversion = &TColorManager::RowCMYKToRGB;
            if (toBGR) FRowConversion = &TColorManager::RowCMYKToBGR;
            break;
        case pmCIELab:
            if (toRGB) FRowConversion = &TColorManager::RowLabToRGB;
            if (toBGR) FRowConversion = &TColorManager::RowLabToBGR;
            break;
        case pmYCbCr:
        case pmPhotoYCC:
            if (toRGB || toBGR) {
                if (FSourceScheme == pmYCbCr)
                    BuildYCCTables(128, 128);
                else
                    BuildYCCTables(137, 156);
                FRowConversion = toRGB ? &TColorManager::RowYCCToRGB : &TColorManager::RowYCCToBGR;
            }
            break;
        default: break;
    }
    if (FRowConversion == nullptr) ConversionError(gesConversionUnsupported);
    FChanged = false;
}

void TColorManager::RequirePlanes(size_t planeCount, size_t needed) const {
    if (planeCount > 1 && planeCount < needed) ConversionError(gesInvalidPixelScheme);
}

void TColorManager::ConvertLine(std::span<const void* const> sources, void* target, int32_t count, uint8_t mask) {
    if (FChanged || FRowConversion == nullptr) SelectConverter();
    if (count <= 0 || mask == 0) return;
    if (FGammaPending && (FTargetOptions & cfGamma)) BuildGammaTable();
    // No scheme has more than four samples; the planes are copied so that no allocation or
    // pointer type pun is needed.
    const uint8_t* planes[4] = {};
    const size_t planeCount = std::min<size_t>(sources.size(), 4);
    for (size_t i = 0; i < planeCount; ++i) {
        planes[i] = static_cast<const uint8_t*>(sources[i]);
        if (planes[i] == nullptr) ConversionError(gesInvalidPixelScheme);
    }
    if (planeCount == 0 || target == nullptr) ConversionError(gesInvalidPixelScheme);
    (this->*FRowConversion)(planes, planeCount, static_cast<uint8_t*>(target), static_cast<uint32_t>(count), mask);
}

// --- indexed and gray ------------------------------------------------------------------------

void TColorManager::RowIndexed16To16(const uint8_t* const* planes, size_t, uint8_t* target, uint32_t count,
                                     uint8_t mask) {
    const uint8_t* src = planes[0];
    const bool swap = FSourceOptions & cfSwapBytes;
    if (mask == 0xFF && !swap) {
        std::memmove(target, src, size_t{count} * 2);
        return;
    }
    ForEachPixel(count, mask, [&](size_t t, size_t s) { Store16(target + 2 * t, Load16(src + 2 * s, swap)); });
}

void TColorManager::RowIndexed16ToPacked(const uint8_t* const* planes, size_t, uint8_t* target, uint32_t count,
                                         uint8_t mask) {
    const uint8_t* src = planes[0];
    const bool swap = FSourceOptions & cfSwapBytes;
    const unsigned tb = TargetDepth();
    const uint32_t top = (1u << tb) - 1;
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        uint32_t v = Load16(src + 2 * s, swap);
        WriteBits(target, t * tb, tb, v * top / 65535);
    });
}

void TColorManager::RowPackedToIndexed16(const uint8_t* const* planes, size_t, uint8_t* target, uint32_t count,
                                         uint8_t mask) {
    const uint8_t* src = planes[0];
    const bool swap = FSourceOptions & cfSwapBytes;
    const unsigned sb = FSourceBPS;
    const uint32_t top = (1u << sb) - 1;
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        uint16_t w = static_cast<uint16_t>(ReadBits(src, s * sb, sb) * 65535 / top);
        Store16(target + 2 * t, swap ? Swap16(w) : w);
    });
}

void TColorManager::RowPackedToPacked(const uint8_t* const* planes, size_t, uint8_t* target, uint32_t count,
                                      uint8_t mask) {
    const uint8_t* src = planes[0];
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if (sb == tb && mask == 0xFF) {
        std::memmove(target, src, (size_t{count} * sb + 7) / 8);
        return;
    }
    if (sb == 8 && tb == 8) {
        ForEachPixel(count, mask, [&](size_t t, size_t s) { target[t] = src[s]; });
        return;
    }
    const uint32_t sourceTop = (1u << sb) - 1, targetTop = (1u << tb) - 1;
    if (sb <= 8) {
        // At most 256 source values: rescale each once instead of once per pixel.
        uint16_t scaled[256];
        for (uint32_t v = 0; v <= sourceTop; ++v) scaled[v] = static_cast<uint16_t>(v * targetTop / sourceTop);
        auto powerOfTwo = [](unsigned bits) { return bits == 1 || bits == 2 || bits == 4 || bits == 8; };
        if (mask == 0xFF && powerOfTwo(sb) && powerOfTwo(tb)) {
            PackedPowerOfTwoRow(src, sb, target, tb, count, scaled);
            return;
        }
        ForEachPixel(count, mask,
                     [&](size_t t, size_t s) { WriteBits(target, t * tb, tb, scaled[ReadBits(src, s * sb, sb)]); });
        return;
    }
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        WriteBits(target, t * tb, tb, ReadBits(src, s * sb, sb) * targetTop / sourceTop);
    });
}

void TColorManager::RowGray8And16(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                  uint8_t mask) {
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    const uint8_t* src = planes[0];
    const bool swap = FSourceOptions & cfSwapBytes;
    // Interleaved gray with alpha steps over the alpha sample; planar data keeps the alpha
    // in a plane of its own, so the gray plane has one sample per pixel.
    const size_t step = (FSourceHasAlpha && planeCount == 1) ? 2 : 1;
    if (sb == 8 && tb == 8) {
        if (step == 1 && mask == 0xFF)
            std::memmove(target, src, count);
        else
            ForEachPixel(count, mask, [&](size_t t, size_t s) { target[t] = src[s * step]; });
    } else if (sb == 8) {
        ForEachPixel(count, mask, [&](size_t t, size_t s) { Store16(target + 2 * t, Widen8(src[s * step])); });
    } else if (tb == 8) {
        ForEachPixel(count, mask,
                     [&](size_t t, size_t s) { target[t] = Narrow16(Load16(src + 2 * s * step, swap)); });
    } else {
        ForEachPixel(count, mask,
                     [&](size_t t, size_t s) { Store16(target + 2 * t, Load16(src + 2 * s * step, swap)); });
    }
}

// --- the RGB family ----------------------------------------------------------------------------

void TColorManager::RowRGBKeepOrder(const uint8_t* const* planes, size_t planeCount, uint8_t* target,
                                    uint32_t count, uint8_t mask) {
    RowRGBFamily(planes, planeCount, target, count, mask, false);
}

void TColorManager::RowRGBSwapOrder(const uint8_t* const* planes, size_t planeCount, uint8_t* target,
                                    uint32_t count, uint8_t mask) {
    RowRGBFamily(planes, planeCount, target, count, mask, true);
}

void TColorManager::RowRGBFamily(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                 uint8_t mask, bool exchangeRedBlue) {
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    const bool planar = planeCount > 1;
    RequirePlanes(planeCount, FSourceHasAlpha ? 4 : 3);
    const size_t sourceSamples = FSourceHasAlpha ? 4 : 3;
    const size_t targetSamples = FTargetHasAlpha ? 4 : 3;
    const bool gamma = FTargetOptions & cfGamma;
    const bool swap = FSourceOptions & cfSwapBytes;

    if (!planar && mask == 0xFF) {
        const uint8_t* src = planes[0];
        if (sb == 8 && tb == 8) {
            if (!exchangeRedBlue && !gamma && sourceSamples == targetSamples) {
                std::memmove(target, src, size_t{count} * sourceSamples);
            } else if (exchangeRedBlue) {
                if (gamma)
                    Rgb8InterleavedBySteps<true, true>(sourceSamples, targetSamples, src, target, count,
                                                       FGammaTable.data());
                else
                    Rgb8InterleavedBySteps<true, false>(sourceSamples, targetSamples, src, target, count, nullptr);
            } else {
                if (gamma)
                    Rgb8InterleavedBySteps<false, true>(sourceSamples, targetSamples, src, target, count,
                                                        FGammaTable.data());
                else
                    Rgb8InterleavedBySteps<false, false>(sourceSamples, targetSamples, src, target, count, nullptr);
            }
            return;
        }
        if (sb == 16 && tb == 8) {
            const uint8_t* table = gamma ? FGammaTable.data() : IdentityTable.data();
            if (exchangeRedBlue) {
                if (swap)
                    Rgb16To8InterleavedBySteps<true, true>(sourceSamples, targetSamples, src, target, count, table);
                else
                    Rgb16To8InterleavedBySteps<true, false>(sourceSamples, targetSamples, src, target, count, table);
            } else {
                if (swap)
                    Rgb16To8InterleavedBySteps<false, true>(sourceSamples, targetSamples, src, target, count, table);
                else
                    Rgb16To8InterleavedBySteps<false, false>(sourceSamples, targetSamples, src, target, count,
                                                             table);
            }
            return;
        }
    }

    if (planar && mask == 0xFF && sb == 8 && tb == 8 && !gamma) {
        const bool copyAlpha = FSourceHasAlpha && FTargetHasAlpha;
        if (exchangeRedBlue)
            Rgb8PlanarBySteps<true>(targetSamples, copyAlpha, planes, target, count);
        else
            Rgb8PlanarBySteps<false>(targetSamples, copyAlpha, planes, target, count);
        return;
    }

    TRgbRow row;
    SetUpRuns(row.Source, sourceSamples, planes, planar, sourceSamples, sb / 8);
    row.Target = target;
    row.TargetStride = targetSamples * (tb / 8);
    row.Position[0] = exchangeRedBlue ? 2 : 0;
    row.Position[1] = 1;
    row.Position[2] = exchangeRedBlue ? 0 : 2;
    row.CopyAlpha = FSourceHasAlpha && FTargetHasAlpha;
    row.Swap = swap;
    row.Gamma = gamma ? FGammaTable.data() : nullptr;
    if (sb == 8 && tb == 8)
        RgbAnyRow<8, 8>(row, count, mask);
    else if (sb == 8)
        RgbAnyRow<8, 16>(row, count, mask);
    else if (tb == 8)
        RgbAnyRow<16, 8>(row, count, mask);
    else
        RgbAnyRow<16, 16>(row, count, mask);
}

// --- CMYK ----------------------------------------------------------------------------------------

void TColorManager::RowCMYKToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                 uint8_t mask) {
    RowCMYK(planes, planeCount, target, count, mask, false);
}

void TColorManager::RowCMYKToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                 uint8_t mask) {
    RowCMYK(planes, planeCount, target, count, mask, true);
}

void TColorManager::RowCMYK(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                            uint8_t mask, bool rgbOrder) {
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    const bool wideSource = sb == 16, wideTarget = tb == 16;
    const bool swap = FSourceOptions & cfSwapBytes;
    TComponentRun runs[4];
    SetUpRuns(runs, 4, planes, planeCount == 4, 4, sb / 8);
    const size_t stride = (FTargetHasAlpha ? 4 : 3) * (tb / 8);
    // Cyan gives red, magenta green, yellow blue.
    const size_t position[3] = {rgbOrder ? 0u : 2u, 1u, rgbOrder ? 2u : 0u};
    if (!wideSource) {
        ForEachPixel(count, mask, [&](size_t t, size_t s) {
            const int32_t k = *runs[3].At(s);
            uint8_t result[3];
            for (size_t c = 0; c < 3; ++c) {
                const int32_t x = *runs[c].At(s);
                result[c] = ClampByte(255 - (x + k - x * k / 255));
            }
            StoreTriple(target + t * stride, wideTarget, position, result[0], result[1], result[2]);
        });
        return;
    }
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        uint8_t* out = target + t * stride;
        const uint32_t k = Load16(runs[3].At(s), swap);
        for (size_t c = 0; c < 3; ++c) {
            const uint32_t x = Load16(runs[c].At(s), swap);
            const uint32_t product = x * k / 65535;
            if (wideTarget) {
                Store16(out + 2 * position[c], static_cast<uint16_t>(65535 - x - k + product));
            } else {
                const int32_t ink = static_cast<int32_t>((x + k - product) * 255 / 65535);
                out[position[c]] = ClampByte(255 - ink);
            }
        }
    });
}

// --- CIE L*a*b* ---------------------------------------------------------------------------------

void TColorManager::RowLabToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                uint8_t mask) {
    RowLab(planes, planeCount, target, count, mask, false);
}

void TColorManager::RowLabToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                uint8_t mask) {
    RowLab(planes, planeCount, target, count, mask, true);
}

void TColorManager::RowLab(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                           uint8_t mask, bool rgbOrder) {
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    RequirePlanes(planeCount, 3);
    const bool wideSource = sb == 16, wideTarget = tb == 16;
    const bool swap = FSourceOptions & cfSwapBytes;
    const bool byteScale = FSourceOptions & cfLabByteScale;
    const bool offsetChroma = FSourceOptions & cfLabOffsetChroma;
    TComponentRun runs[3];
    SetUpRuns(runs, 3, planes, planeCount > 1, 3, sb / 8);
    const size_t stride = (FTargetHasAlpha ? 4 : 3) * (tb / 8);
    const size_t position[3] = {rgbOrder ? 2u : 0u, 1u, rgbOrder ? 0u : 2u};  // blue, green, red

    // 16-bit samples are taken at 8-bit precision: L* narrowed like any sample, a* and b*
    // narrowed when they carry the offset, else their signed high byte (units of 1/256).
    auto chroma = [&](const uint8_t* p) -> double {
        if (wideSource) {
            uint16_t v = Load16(p, swap);
            return offsetChroma ? Narrow16(v) - 128.0 : static_cast<double>(static_cast<int8_t>(v >> 8));
        }
        return offsetChroma ? *p - 128.0 : static_cast<double>(static_cast<int8_t>(*p));
    };
    ForEachPixel(count, mask, [&](size_t t, size_t s) {
        double l = wideSource ? Narrow16(Load16(runs[0].At(s), swap)) : *runs[0].At(s);
        if (byteScale) l /= 2.55;
        const double a = chroma(runs[1].At(s)), b = chroma(runs[2].At(s));
        double x, y, z;
        if (l < 7.9996) {
            y = l / 903.3;
            x = y + a / 3893.5;
            z = y - b / 1557.4;
        } else {
            const double f = (l + 16) / 116;
            const double fx = f + a / 500, fz = f - b / 200;
            x = fx * fx * fx;
            y = f * f * f;
            z = fz * fz * fz;
        }
        const uint8_t blue = RoundToByte((0.099 * x - 0.198 * y + 1.099 * z) * 255);
        const uint8_t green = RoundToByte((-0.952 * x + 1.893 * y + 0.059 * z) * 255);
        const uint8_t red = RoundToByte((2.998 * x - 1.458 * y - 0.541 * z) * 255);
        StoreTriple(target + t * stride, wideTarget, position, blue, green, red);
    });
}

// --- YCbCr and PhotoYCC -------------------------------------------------------------------------

void TColorManager::RowYCCToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                uint8_t mask) {
    RowYCC(planes, planeCount, target, count, mask, false);
}

void TColorManager::RowYCCToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                                uint8_t mask) {
    RowYCC(planes, planeCount, target, count, mask, true);
}

void TColorManager::RowYCC(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                           uint8_t mask, bool rgbOrder) {
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    if ((sb != 8 && sb != 16) || (tb != 8 && tb != 16)) return;
    RequirePlanes(planeCount, 3);
    const bool wideSource = sb == 16, wideTarget = tb == 16;
    const bool swap = FSourceOptions & cfSwapBytes;
    TComponentRun runs[3];
    SetUpRuns(runs, 3, planes, planeCount > 1, 3, sb / 8);
    const size_t stride = (FTargetHasAlpha ? 4 : 3) * (tb / 8);
    const size_t position[3] = {rgbOrder ? 2u : 0u, 1u, rgbOrder ? 0u : 2u};  // blue, green, red

    if (wideSource && wideTarget) {
        // Full precision. PhotoYCC keeps its own luma scale and chroma centres; YCbCr uses
        // the manager's weights around the middle of the 16-bit range. Results are clamped:
        // an out-of-gamut value must not wrap around.
        const bool photo = FSourceScheme == pmPhotoYCC;
        const float red = FYCbCrCoefficients[0], green = FYCbCrCoefficients[1], blue = FYCbCrCoefficients[2];
        const double a = 2 - 2 * red, c = 2 - 2 * blue;
        const double b = red * a / green, d = blue * c / green;
        ForEachPixel(count, mask, [&](size_t t, size_t s) {
            const double y = Load16(runs[0].At(s), swap);
            const double cb = Load16(runs[1].At(s), swap), cr = Load16(runs[2].At(s), swap);
            double rb, rg, rr;
            if (photo) {
                const double u = y * 1.3584;
                rb = u + 2.2179 * (cb - 40092);
                rg = u - 0.9271435 * (cr - 35209) - 0.4302726 * (cb - 40092);
                rr = u + 1.8215 * (cr - 35209);
            } else {
                rb = y + c * (cb - 32768);
                rg = y - b * (cr - 32768) - d * (cb - 32768);
                rr = y + a * (cr - 32768);
            }
            uint8_t* out = target + t * stride;
            Store16(out + 2 * position[0], RoundToWord(rb));
            Store16(out + 2 * position[1], RoundToWord(rg));
            Store16(out + 2 * position[2], RoundToWord(rr));
        });
        return;
    }
    auto convert = [&](auto wide) {
        ForEachPixel(count, mask, [&](size_t t, size_t s) {
            const int32_t y = Sample8(runs[0].At(s), wide, swap);
            const size_t cb = Sample8(runs[1].At(s), wide, swap);
            const size_t cr = Sample8(runs[2].At(s), wide, swap);
            const uint8_t blue = ClampByte(y + FCbToBlueTable[cb]);
            const uint8_t green = ClampByte(y + FCbToGreenTable[cb] + FCrToGreenTable[cr]);
            const uint8_t red = ClampByte(y + FCrToRedTable[cr]);
            StoreTriple(target + t * stride, wideTarget, position, blue, green, red);
        });
    };
    if (wideSource)
        convert(std::true_type{});
    else
        convert(std::false_type{});
}

// --- palettes ------------------------------------------------------------------------------------

TPalette TColorManager::BuildColorPalette(std::span<const void* const> sources, TPaletteSourceLayout layout,
                                          int colorCount, bool bgrOrder) {
    const int entries = std::clamp(colorCount, 0, TPalette::MaxEntries);
    bool planar = false, wide = false;
    size_t entrySamples = 3;
    switch (layout) {
        case rpInterleaved8: break;
        case rpInterleaved8x4: entrySamples = 4; break;
        case rpPlanar8:
        case rpPlanar8b: planar = true; break;
        case rpInterleaved16: wide = true; break;
        case rpInterleaved16x4:
            wide = true;
            entrySamples = 4;
            break;
        case rpPlanar16:
        case rpPlanar16b:
            planar = true;
            wide = true;
            break;
        default: ConversionError(gesConversionUnsupported);
    }
    if (entries > 0) {
        if (sources.size() < (planar ? 3u : 1u)) ConversionError(gesInvalidPixelScheme);
        for (size_t i = 0; i < (planar ? 3u : 1u); ++i)
            if (sources[i] == nullptr) ConversionError(gesInvalidPixelScheme);
    }

    const bool gamma = FTargetOptions & cfGamma;
    if (gamma && FGammaPending) BuildGammaTable();
    const bool swap = FSourceOptions & cfSwapBytes;
    const size_t sampleBytes = wide ? 2 : 1;
    auto component = [&](const uint8_t* p) -> uint8_t {
        uint8_t v = wide ? Narrow16(Load16(p, swap)) : *p;
        return gamma ? FGammaTable[v] : v;
    };

    // Entries the data does not supply stay black.
    std::array<TPaletteEntry, TPalette::MaxEntries> colors{};
    for (int i = 0; i < entries; ++i) {
        const size_t k = static_cast<size_t>(i);
        TPaletteEntry& e = colors[k];
        if (planar) {
            e.Red = component(static_cast<const uint8_t*>(sources[0]) + k * sampleBytes);
            e.Green = component(static_cast<const uint8_t*>(sources[1]) + k * sampleBytes);
            e.Blue = component(static_cast<const uint8_t*>(sources[2]) + k * sampleBytes);
        } else {
            const uint8_t* p = static_cast<const uint8_t*>(sources[0]) + k * entrySamples * sampleBytes;
            const uint8_t c0 = component(p), c1 = component(p + sampleBytes), c2 = component(p + 2 * sampleBytes);
            e.Red = bgrOrder ? c2 : c0;
            e.Green = c1;
            e.Blue = bgrOrder ? c0 : c2;
        }
    }

    // Indices were rescaled to the target depth by the row converters (v * T / S, rounded
    // down); spread the entries so that target index j shows the source entry it came from.
    // Narrowing takes entry j * S / T. Widening rounds up: where S does not divide T (3 bits
    // to 4) rounding down would show index 2, written for source index 1, as entry 0.
    // Sources deeper than 8 bits have more indices than a palette has entries, so they are not
    // respread.
    const unsigned sb = FSourceBPS, tb = TargetDepth();
    const uint32_t sourceTop = (1u << sb) - 1, targetTop = (1u << tb) - 1;
    if (tb <= 8 && sb <= 8 && sourceTop != targetTop) {
        TPalette spread(static_cast<int>(targetTop + 1));
        for (uint32_t j = 0; j <= targetTop; ++j) {
            const uint32_t from = sourceTop > targetTop ? j * sourceTop / targetTop
                                                        : (j * sourceTop + targetTop - 1) / targetTop;
            spread[static_cast<int>(j)] = colors[from];
        }
        return spread;
    }
    TPalette palette(entries);
    for (int i = 0; i < entries; ++i) palette[i] = colors[static_cast<size_t>(i)];
    return palette;
}

TPalette TColorManager::BuildGrayPalette(bool minimumIsWhite) {
    const int bits = std::min(static_cast<int>(TargetDepth()) * FTargetSPP, 8);
    const int entries = 1 << bits;
    const int step = 255 / (entries - 1);
    const bool gamma = FTargetOptions & cfGamma;
    if (gamma && FGammaPending) BuildGammaTable();
    TPalette palette(entries);
    for (int i = 0; i < entries; ++i) {
        uint8_t level = static_cast<uint8_t>(i * step);
        if (gamma) level = FGammaTable[level];
        palette[minimumIsWhite ? entries - 1 - i : i] = TPaletteEntry{level, level, level, 0};
    }
    return palette;
}
