// The colour manager: converts rows of decoded pixels from the layout a file stores them in
// (the source) into the layout of the bitmap being filled (the target), and builds the palettes
// of indexed and gray bitmaps. Every image reader owns one.
//
// A reader describes both sides (scheme, bits per sample, samples per pixel, options), reads
// TargetBitmapFormat to set up its bitmap, builds the palette for indexed and gray targets,
// optionally sets gamma and YCbCr weights, and then hands over one row at a time.
// The row converter is chosen once per change of the description, at the next ConvertLine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "bitmap.h"

enum TPixelModel : uint8_t {
    pmUnknown,    // unknown
    pmIndexed,    // 1: palette index
    pmGray,       // 1: gray level
    pmGrayAlpha,  // 2: gray, alpha
    pmRGB,        // 3: red, green, blue
    pmRGBA,       // 4: red, green, blue, alpha
    pmBGR,        // 3: blue, green, red
    pmBGRA,       // 4: blue, green, red, alpha
    pmCMY,        // 3: cyan, magenta, yellow
    pmCMYK,       // 4: cyan, magenta, yellow, black
    pmCIELab,     // 3: L*, a*, b*
    pmYCbCr,      // 3: Y, Cb, Cr
    pmPhotoYCC,   // 3: Y, C1, C2
};

enum TConversionFlag : uint8_t {
    cfAlphaChannel = 1 << 0,     // the side has an alpha sample; maintained by the manager
    cfGamma = 1 << 1,            // apply the gamma table (target options)
    cfSwapBytes = 1 << 2,        // 16-bit samples are in the other byte order (source options)
    cfLabByteScale = 1 << 3,     // L* is stored scaled to 0..255 (source options)
    cfLabOffsetChroma = 1 << 4,  // a* and b* carry an offset of 128 (source options)
};
using TConversionFlags = uint8_t;

// Layouts of raw palette data handed to BuildColorPalette.
enum TPaletteSourceLayout : uint8_t {
    rpInterleaved8,     // one pointer, 3 bytes per entry
    rpInterleaved8x4,   // one pointer, 4 bytes per entry, the fourth ignored
    rpPlanar8,          // three byte planes
    rpPlanar8b,         // as rpPlanar8
    rpInterleaved16,    // one pointer, three 16-bit values per entry
    rpInterleaved16x4,  // one pointer, four 16-bit values per entry, the fourth ignored
    rpPlanar16,         // three planes of 16-bit values
    rpPlanar16b,        // as rpPlanar16
};

inline constexpr const char* gesIndexedNotSupported =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
inline constexpr const char* gesConversionUnsupported = "Color conversion failed. Could not find a proper method.";
inline constexpr const char* gesInvalidSampleDepth =
    "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
inline constexpr const char* gesInvalidPixelScheme =
    "Sample count per pixel does not correspond to the given color scheme.";
inline constexpr const char* gesInvalidSubSampling = "Subsampling value is invalid. Allowed are 1, 2 and 4.";
inline constexpr const char* gesVerticalSubSamplingError =
    "Vertical subsampling value must be <= horizontal subsampling value.";

class TColorManager {
public:
    TColorManager();

    // Depths of 1 to 16 bits are accepted; anything else raises gesInvalidSampleDepth.
    uint8_t SourceSampleBits() const { return FSourceBPS; }
    void SetSourceSampleBits(int bits);
    uint8_t TargetSampleBits() const { return FTargetBPS; }
    void SetTargetSampleBits(int bits);
    // Counts of 1 to 4 are accepted; anything else raises gesInvalidPixelScheme.
    uint8_t SourceSampleCount() const { return FSourceSPP; }
    void SetSourceSampleCount(int count);
    uint8_t TargetSampleCount() const { return FTargetSPP; }
    void SetTargetSampleCount(int count);

    TPixelModel SourceModel() const { return FSourceScheme; }
    void SetSourceModel(TPixelModel model);
    TPixelModel TargetModel() const { return FTargetScheme; }
    void SetTargetModel(TPixelModel model);

    // The alpha bit is rewritten from the schemes whenever a converter is chosen.
    TConversionFlags SourceFlags() const { return FSourceOptions; }
    void SetSourceFlags(TConversionFlags flags) { FSourceOptions = flags; }
    TConversionFlags TargetFlags() const { return FTargetOptions; }
    void SetTargetFlags(TConversionFlags flags) { FTargetOptions = flags; }

    // True while the description differs from the one the current converter was chosen for.
    bool Changed() const { return FChanged; }

    // The bitmap format that holds the target samples; pfCustom when no bitmap format does.
    TPixelFormat TargetBitmapFormat() const;

    // Stores the file's gamma and the display gamma (0 or below, or not a number, falls back
    // to 1.0 and 2.2) and rebuilds the gamma table for the depths set at this moment. The
    // table is computed when it is first used (most loads never apply gamma), but always for
    // the depths and gammas of this call.
    void SetGammaPair(float imageGamma, float screenGamma);
    float ImageGamma() const { return FMainGamma; }
    float ScreenGamma() const { return FDisplayGamma; }
    const std::array<uint8_t, 256>& GammaTable() const {
        if (FGammaPending) BuildGammaTable();
        return FGammaTable;
    }

    // Replaces the first one to three weights (red, green, blue; extra values are ignored),
    // then checks and stores the chroma subsampling (1, 2 or 4, vertical <= horizontal).
    // The weights are kept even when a check raises.
    void SetYCbCrWeights(std::span<const float> coefficients, int horizontalSubsampling, int verticalSubsampling);
    void SetYCbCrWeights(std::initializer_list<float> coefficients, int horizontalSubsampling,
                         int verticalSubsampling) {
        SetYCbCrWeights(std::span<const float>(coefficients.begin(), coefficients.size()), horizontalSubsampling,
                        verticalSubsampling);
    }
    const std::array<float, 3>& YCbCrCoefficients() const { return FYCbCrCoefficients; }
    uint8_t HorizontalSubsampling() const { return FHSubsampling; }
    uint8_t VerticalSubsampling() const { return FVSubsampling; }

    // Converts one row. One source pointer means interleaved samples; several mean planar
    // data, one plane per sample in the scheme's order. count is the number of target pixels;
    // bit 7 - (i mod 8) of mask selects target pixel i, and the source holds only the
    // selected pixels, packed. Unselected target pixels are left as they are.
    // The caller guarantees that the target holds count pixels of the target layout and every
    // source as many selected pixels of the source layout; nothing beyond is touched.
    void ConvertLine(std::span<const void* const> sources, void* target, int32_t count, uint8_t mask);
    void ConvertLine(std::initializer_list<const void*> sources, void* target, int32_t count, uint8_t mask) {
        ConvertLine(std::span<const void* const>(sources.begin(), sources.size()), target, count, mask);
    }

    // A palette from raw palette data: colorCount entries (at most 256 are used), respread
    // to the target depth when the source and target index depths differ.
    TPalette BuildColorPalette(std::span<const void* const> sources, TPaletteSourceLayout layout, int colorCount,
                               bool bgrOrder);
    TPalette BuildColorPalette(std::initializer_list<const void*> sources, TPaletteSourceLayout layout,
                               int colorCount, bool bgrOrder) {
        return BuildColorPalette(std::span<const void* const>(sources.begin(), sources.size()), layout, colorCount,
                                 bgrOrder);
    }
    // An even gray ramp for the target depth, black first or white first.
    TPalette BuildGrayPalette(bool minimumIsWhite);

private:
    using TRowConverter = void (TColorManager::*)(const uint8_t* const* planes, size_t planeCount, uint8_t* target,
                                                  uint32_t count, uint8_t mask);

    void SelectConverter();
    void BuildGammaTable() const;
    // The depth rows are written at: a one-sample target of 2 or 3 bits is written at 4 bits,
    // the depth of the bitmap TargetBitmapFormat gives for it.
    unsigned TargetDepth() const;
    void BuildYCCTables(int crCentre, int cbCentre);
    void RequirePlanes(size_t planeCount, size_t needed) const;

    void RowIndexed16To16(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                          uint8_t mask);
    void RowIndexed16ToPacked(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                              uint8_t mask);
    void RowPackedToIndexed16(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                              uint8_t mask);
    void RowPackedToPacked(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                           uint8_t mask);
    void RowGray8And16(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                       uint8_t mask);
    void RowRGBKeepOrder(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                         uint8_t mask);
    void RowRGBSwapOrder(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                         uint8_t mask);
    void RowRGBFamily(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask,
                      bool exchangeRedBlue);
    void RowCMYKToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                      uint8_t mask);
    void RowCMYKToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count,
                      uint8_t mask);
    void RowCMYK(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask,
                 bool rgbOrder);
    void RowLabToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask);
    void RowLabToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask);
    void RowLab(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask,
                bool rgbOrder);
    void RowYCCToBGR(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask);
    void RowYCCToRGB(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask);
    void RowYCC(const uint8_t* const* planes, size_t planeCount, uint8_t* target, uint32_t count, uint8_t mask,
                bool rgbOrder);

    bool FChanged = true;
    uint8_t FSourceBPS = 8;
    uint8_t FTargetBPS = 8;
    uint8_t FSourceSPP = 3;
    uint8_t FTargetSPP = 3;
    float FMainGamma = 1.0f;
    float FDisplayGamma = 2.2f;
    // Entries 0..255 map 8-bit values to 8-bit values with exponent FGammaExponent, whatever the
    // depths: every user (row converters, palettes) looks it up with 8-bit values and wants
    // 8-bit results. FGammaPending until it has been computed.
    mutable std::array<uint8_t, 256> FGammaTable{};
    mutable bool FGammaPending = false;
    double FGammaExponent = 1.0;
    std::array<float, 3> FYCbCrCoefficients{0.299f, 0.587f, 0.114f};
    uint8_t FHSubsampling = 1;
    uint8_t FVSubsampling = 1;
    std::array<int32_t, 256> FCrToRedTable{};
    std::array<int32_t, 256> FCbToBlueTable{};
    std::array<int32_t, 256> FCrToGreenTable{};
    std::array<int32_t, 256> FCbToGreenTable{};
    TPixelModel FSourceScheme = pmRGB;
    TPixelModel FTargetScheme = pmBGR;
    TRowConverter FRowConversion = nullptr;
    TConversionFlags FSourceOptions = 0;
    TConversionFlags FTargetOptions = 0;
    // Taken from the schemes when the converter is chosen; the row converters rely on these
    // rather than on the option bits, which a caller may overwrite.
    bool FSourceHasAlpha = false;
    bool FTargetHasAlpha = false;
};
