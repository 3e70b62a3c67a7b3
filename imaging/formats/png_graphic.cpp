#include "png_graphic.h"

#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TPNGGraphic::Class = {
    "TPNGGraphic", [] { return std::unique_ptr<TGraphic>(new TPNGGraphic); }, &TPNGGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "PNG";
constexpr uint8_t Signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// Chunk types as big-endian numbers in upper case; types are compared with bit 5 of every
// byte cleared, so "idat" is image data too.
constexpr uint32_t ChunkTypeOf(const char (&name)[5]) {
    return (uint32_t(uint8_t(name[0])) << 24) | (uint32_t(uint8_t(name[1])) << 16) |
           (uint32_t(uint8_t(name[2])) << 8) | uint32_t(uint8_t(name[3]));
}
constexpr uint32_t ctIHDR = ChunkTypeOf("IHDR");
constexpr uint32_t ctIDAT = ChunkTypeOf("IDAT");
constexpr uint32_t ctIEND = ChunkTypeOf("IEND");
constexpr uint32_t ctPLTE = ChunkTypeOf("PLTE");
constexpr uint32_t ctgAMA = ChunkTypeOf("GAMA");
constexpr uint32_t ctbKGD = ChunkTypeOf("BKGD");
constexpr uint32_t cttRNS = ChunkTypeOf("TRNS");
constexpr uint32_t CaseFold = 0xDFDFDFDFu;
constexpr uint32_t AncillaryBit = 0x20000000u;  // bit 5 of the first type byte

constexpr uint32_t MaxChunkLength = 0x7FFFFFFFu;

inline uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint32_t BigEndian16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | uint32_t(p[1]); }

struct TAdam7Pass {
    uint32_t FirstRow, RowStep, FirstColumn, ColumnStep;
    uint8_t Mask;
};
constexpr TAdam7Pass Adam7Passes[7] = {
    {0, 8, 0, 8, 0x80}, {0, 8, 4, 8, 0x08}, {4, 8, 0, 4, 0x88}, {0, 4, 2, 4, 0x22},
    {2, 4, 0, 2, 0xAA}, {0, 2, 1, 2, 0x55}, {1, 2, 0, 1, 0xFF},
};

// --- row filters ---------------------------------------------------------------------------------

inline uint8_t PaethPredictor(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// The filters with the pixel size known at compile time, so that the per-pixel work unrolls.
// cur and prev point at the first pixel byte (after the filter type); n counts pixel bytes.
// The two rows never overlap.
template <size_t Bpp>
void UnfilterSub(uint8_t* __restrict cur, size_t n) {
    for (size_t i = Bpp; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + cur[i - Bpp]);
}

void UnfilterUp(uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + i), _mm_add_epi8(x, b));
    }
#endif
    for (; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + prev[i]);
}

template <size_t Bpp>
void UnfilterAverage(uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n) {
    const size_t head = std::min(Bpp, n);
    for (size_t i = 0; i < head; ++i) cur[i] = static_cast<uint8_t>(cur[i] + (prev[i] >> 1));
    for (size_t i = Bpp; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + ((cur[i - Bpp] + prev[i]) >> 1));
}

template <size_t Bpp>
void UnfilterPaeth(uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n) {
    // With nothing to the left the predictor is always the byte above.
    const size_t head = std::min(Bpp, n);
    for (size_t i = 0; i < head; ++i) cur[i] = static_cast<uint8_t>(cur[i] + prev[i]);
    for (size_t i = Bpp; i < n; ++i)
        cur[i] = static_cast<uint8_t>(cur[i] + PaethPredictor(cur[i - Bpp], prev[i], prev[i - Bpp]));
}

#if defined(__SSE2__)
// Rows of 3- and 4-byte pixels, one pixel per step with each byte in a 16-bit lane: the
// left neighbour is the previous step's result, so the chain runs per pixel, not per byte.
// A 3-byte pixel is read as 4 bytes while the row has a byte after it (the extra lane is
// never stored) and written byte by byte, never past the row's end.
template <size_t Bpp>
inline __m128i LoadPixel(const uint8_t* p, bool last) {
    uint32_t v;
    if (Bpp == 4 || !last)
        std::memcpy(&v, p, 4);
    else
        v = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <size_t Bpp>
inline void StorePixel(uint8_t* p, __m128i lanes) {
    const uint32_t v = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(lanes, lanes)));
    if constexpr (Bpp == 4) {
        std::memcpy(p, &v, 4);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
    }
}

inline __m128i Low8(__m128i lanes) { return _mm_and_si128(lanes, _mm_set1_epi16(0xFF)); }

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

template <size_t Bpp>
void UnfilterSubPixels(uint8_t* __restrict cur, size_t n) {
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i + Bpp <= n; i += Bpp) {
        a = Low8(_mm_add_epi16(a, LoadPixel<Bpp>(cur + i, i + Bpp == n)));
        StorePixel<Bpp>(cur + i, a);
    }
}

template <size_t Bpp>
void UnfilterAveragePixels(uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n) {
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i + Bpp <= n; i += Bpp) {
        const bool last = i + Bpp == n;
        const __m128i b = LoadPixel<Bpp>(prev + i, last);
        a = Low8(_mm_add_epi16(LoadPixel<Bpp>(cur + i, last), _mm_srli_epi16(_mm_add_epi16(a, b), 1)));
        StorePixel<Bpp>(cur + i, a);
    }
}

template <size_t Bpp>
void UnfilterPaethPixels(uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n) {
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    for (size_t i = 0; i + Bpp <= n; i += Bpp) {
        const bool last = i + Bpp == n;
        const __m128i b = LoadPixel<Bpp>(prev + i, last);
        const __m128i pa = Abs16(_mm_sub_epi16(b, c));
        const __m128i pb = Abs16(_mm_sub_epi16(a, c));
        const __m128i pc = Abs16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
        const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        // a where pa is smallest, else b where pb is, else c: the order of the ties.
        const __m128i takeA = _mm_cmpeq_epi16(smallest, pa);
        const __m128i takeB = _mm_andnot_si128(takeA, _mm_cmpeq_epi16(smallest, pb));
        const __m128i takeC = _mm_andnot_si128(_mm_or_si128(takeA, takeB), _mm_set1_epi16(-1));
        const __m128i predictor = _mm_or_si128(_mm_or_si128(_mm_and_si128(takeA, a), _mm_and_si128(takeB, b)),
                                               _mm_and_si128(takeC, c));
        a = Low8(_mm_add_epi16(LoadPixel<Bpp>(cur + i, last), predictor));
        StorePixel<Bpp>(cur + i, a);
        c = b;
    }
}
#endif

template <size_t Bpp>
void Unfilter(uint8_t filter, uint8_t* cur, const uint8_t* prev, size_t n) {
#if defined(__SSE2__)
    // Rows of whole pixels only; a row the reader would never produce takes the plain path.
    if constexpr (Bpp == 3 || Bpp == 4) {
        if (n % Bpp == 0) {
            switch (filter) {
                case 1: UnfilterSubPixels<Bpp>(cur, n); return;
                case 2: UnfilterUp(cur, prev, n); return;
                case 3: UnfilterAveragePixels<Bpp>(cur, prev, n); return;
                case 4: UnfilterPaethPixels<Bpp>(cur, prev, n); return;
                default: return;
            }
        }
    }
#endif
    switch (filter) {
        case 1: UnfilterSub<Bpp>(cur, n); break;
        case 2: UnfilterUp(cur, prev, n); break;
        case 3: UnfilterAverage<Bpp>(cur, prev, n); break;
        case 4: UnfilterPaeth<Bpp>(cur, prev, n); break;
        default: break;  // None, and types the format does not define: taken as stored
    }
}

}  // namespace

void ReconstructRow(uint8_t* row, const uint8_t* previous, size_t rowBytes, size_t bytesPerPixel) {
    if (rowBytes < 2) return;
    const uint8_t filter = row[0];
    uint8_t* cur = row + 1;
    const uint8_t* prev = previous + 1;
    const size_t n = rowBytes - 1;
    switch (bytesPerPixel) {
        case 1: Unfilter<1>(filter, cur, prev, n); break;
        case 2: Unfilter<2>(filter, cur, prev, n); break;
        case 3: Unfilter<3>(filter, cur, prev, n); break;
        case 4: Unfilter<4>(filter, cur, prev, n); break;
        case 6: Unfilter<6>(filter, cur, prev, n); break;
        case 8: Unfilter<8>(filter, cur, prev, n); break;
        default: {
            // Not a size the reader produces; kept general so the function stands on its own.
            const size_t bpp = std::max<size_t>(bytesPerPixel, 1);
            for (size_t i = 0; i < n; ++i) {
                const int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
                int predictor = 0;
                switch (filter) {
                    case 1: predictor = a; break;
                    case 2: predictor = b; break;
                    case 3: predictor = (a + b) >> 1; break;
                    case 4: predictor = PaethPredictor(a, b, c); break;
                    default: return;
                }
                cur[i] = static_cast<uint8_t>(cur[i] + predictor);
            }
        }
    }
}

// --- class-level tests ---------------------------------------------------------------------------

bool TPNGGraphic::CanReadStream(TStream& stream) {
    uint8_t buffer[8];
    return PeekSignature(stream, 8, buffer, 8) && std::memcmp(buffer, Signature, 8) == 0;
}

bool TPNGGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPNGGraphic::CanReadStream);
}

// --- chunks --------------------------------------------------------------------------------------

bool TPNGGraphic::ChunkIs(uint32_t type) const { return (ChunkType & CaseFold) == type; }

void TPNGGraphic::NextChunkHeader() {
    uint8_t header[8];
    LoadStream->ReadBuffer(header, 8);
    ChunkLength = BigEndian32(header);
    ChunkType = BigEndian32(header + 4);
    RunningCRC = static_cast<uint32_t>(crc32(0, header + 4, 4));
}

void TPNGGraphic::FetchChunkData() {
    // A length the stream cannot supply would fail in the strict read anyway; failing first
    // keeps a made-up length from allocating anything.
    if (ChunkLength > MaxChunkLength || int64_t{ChunkLength} + 4 > LoadStream->Remaining())
        throw EReadError(SReadError);
    if (ChunkData.size() < ChunkLength) ChunkData.resize(ChunkLength);
    LoadStream->ReadBuffer(ChunkData.data(), ChunkLength);
    uint8_t stored[4];
    LoadStream->ReadBuffer(stored, 4);
    // zlib treats a null buffer as a request for the initial value, whatever the length.
    if (ChunkLength > 0) RunningCRC = static_cast<uint32_t>(crc32(RunningCRC, ChunkData.data(), ChunkLength));
    if (RunningCRC != BigEndian32(stored)) GraphicErrorFmt(gesInvalidCRC, FormatWord);
}

// --- properties ----------------------------------------------------------------------------------

bool TPNGGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    LoadStream = &stream;
    uint8_t signature[8];
    if (stream.Read(signature, 8) != 8 || std::memcmp(signature, Signature, 8) != 0) return false;
    NextChunkHeader();
    if (!ChunkIs(ctIHDR)) return false;
    Properties.Options |= imBigEndian;
    FetchChunkData();
    // A header too short for its fields is no header; reading on would leave the chunk.
    if (ChunkLength < 13) return false;
    const uint8_t* h = ChunkData.data();
    const uint32_t width = BigEndian32(h), height = BigEndian32(h + 4);
    // Sides beyond 2^31 - 1 are not valid and would not fit the bitmap's signed sizes.
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return false;
    BitDepth = h[8];
    ColorType = h[9];
    InterlaceMethod = h[12];

    Properties.Width = static_cast<int32_t>(width);
    Properties.Height = static_cast<int32_t>(height);
    Properties.Compression = h[10] == 0 ? ckDeflate : ckUnknown;
    Properties.BitsPerSample = BitDepth;
    Properties.SamplesPerPixel = ColorType == 2 ? 3 : (ColorType == 6 ? 4 : 1);
    switch (ColorType) {
        case 0: Properties.PixelModel = pmGray; break;
        case 2: Properties.PixelModel = pmRGB; break;
        case 3: Properties.PixelModel = pmIndexed; break;
        case 4: Properties.PixelModel = pmGrayAlpha; break;
        case 6: Properties.PixelModel = pmRGBA; break;
        default: Properties.PixelModel = pmUnknown; break;
    }
    Properties.BitsPerPixel = static_cast<uint8_t>(Properties.SamplesPerPixel * Properties.BitsPerSample);
    Properties.FilterMethod = h[11];
    Properties.Interlaced = InterlaceMethod != 0;
    Properties.HasAlpha = Properties.PixelModel == pmGrayAlpha || Properties.PixelModel == pmRGBA ||
                          Properties.PixelModel == pmBGRA;

    // Look ahead for the gamma; everything else is passed over unchecked.
    for (;;) {
        NextChunkHeader();
        if (ChunkIs(ctgAMA)) {
            FetchChunkData();
            // A gamma chunk too short for its value states nothing.
            if (ChunkLength >= 4) {
                Properties.Gamma = static_cast<float>(BigEndian32(ChunkData.data()) / 100000.0);
                return true;
            }
            continue;
        }
        stream.Seek(int64_t{ChunkLength} + 4, TSeekOrigin::soCurrent);
        if (ChunkIs(ctIEND)) return true;
    }
}

// --- loading -------------------------------------------------------------------------------------

void TPNGGraphic::ResetLoadState() {
    Inflater.reset();
    ChunkData.clear();
    ChunkLength = ChunkType = RunningCRC = 0;
    InflatePosition = 0;
    HeldDataLength = 0;
    PixelStride = 1;
    BuiltPalette = TPalette();
    HasBuiltPalette = false;
    FillColor = 0xFFFFFF;
    KeyColor = NoKeyColor;
    BackgroundIndex = -1;
    PaletteEntries = 0;
    IndexAlphaTable.clear();
    ImageDataSeen = false;
    // The colour manager outlives a load; a gamma or depth of an earlier file must not carry
    // over into this one.
    ColorConverter.SetTargetFlags(0);
    ColorConverter.SetSourceSampleBits(8);
    ColorConverter.SetTargetSampleBits(8);
    ColorConverter.SetGammaPair(1.0f, 2.2f);
}

void TPNGGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    ResetLoadState();
    LoadStream = &stream;
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);
    stream.SetPosition(start + 8);
    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    try {
        LoadChunks(stream);
    } catch (...) {
        FinishLoad(false);
        throw;
    }
    FinishLoad(true);
}

void TPNGGraphic::FinishLoad(bool succeeded) {
    std::unique_ptr<TLZ77Decoder> inflater = std::move(Inflater);
    ChunkData = std::vector<uint8_t>();
    EndProgress();
    // After a failure the decoder is only freed, which releases zlib's state as well: its own
    // error must not replace the one that is passing.
    if (succeeded && inflater) inflater->EndDecode();
}

void TPNGGraphic::LoadChunks(TStream& stream) {
    NextChunkHeader();
    FetchChunkData();  // the header once more; ReadProperties has accepted it
    ColorConverter.SetSourceFlags(cfSwapBytes);
    if (Properties.Compression != ckDeflate) GraphicErrorFmt(gesUnsupportedFeature, gesCompression, FormatWord);

    Inflater = std::make_unique<TLZ77Decoder>(1, false);
    Inflater->BeginDecode();

    NextChunkHeader();
    for (;;) {
        if (ChunkIs(ctIDAT)) {
            EndProgress();
            LoadImageData();
            ImageDataSeen = true;
            // LoadImageData has read the header of the chunk after the image data.
        } else if (ChunkIs(ctPLTE)) {
            ReadPalette();
            NextChunkHeader();
            continue;
        } else if (ChunkIs(ctgAMA)) {
            ReadGamma();
            NextChunkHeader();
            continue;
        } else if (ChunkIs(ctbKGD)) {
            ReadBackground();
            NextChunkHeader();
            continue;
        } else if (ChunkIs(cttRNS)) {
            ReadTransparency();
            NextChunkHeader();
            continue;
        }
        stream.Seek(int64_t{ChunkLength} + 4, TSeekOrigin::soCurrent);
        if (ChunkIs(ctIEND)) break;
        if ((ChunkType & AncillaryBit) == 0) GraphicError(gesUnknownCriticalChunk);
        NextChunkHeader();
    }
    // A file without image data would otherwise load as an empty picture and pass for a
    // success.
    if (!ImageDataSeen) GraphicErrorFmt(gesInvalidImage, FormatWord);
}

void TPNGGraphic::SetUpColors() {
    auto accepts = [&](std::initializer_list<int> depths) {
        return std::find(depths.begin(), depths.end(), BitDepth) != depths.end();
    };
    const bool wide = BitDepth == 16;
    TPixelModel source = pmUnknown, target = pmUnknown;
    int samples = 1;
    int targetBits = 8;
    switch (ColorType) {
        case 0:
            if (!accepts({1, 2, 4, 8, 16})) break;
            source = target = pmGray;
            targetBits = BitDepth == 2 ? 4 : (wide ? 8 : BitDepth);
            PixelStride = wide ? 2 : 1;
            break;
        case 2:
            if (!accepts({8, 16})) break;
            source = pmRGB;
            target = pmBGR;
            samples = 3;
            PixelStride = wide ? 6 : 3;
            break;
        case 3:
            if (!accepts({1, 2, 4, 8})) break;
            source = target = pmIndexed;
            targetBits = BitDepth == 2 ? 4 : BitDepth;
            PixelStride = 1;
            break;
        case 4:
            if (!accepts({8, 16})) break;
            source = pmGrayAlpha;
            target = pmIndexed;
            PixelStride = wide ? 4 : 2;
            break;
        case 6:
            if (!accepts({8, 16})) break;
            source = pmRGBA;
            target = pmBGRA;
            samples = 4;
            PixelStride = wide ? 8 : 4;
            break;
        default: break;
    }
    if (source == pmUnknown) GraphicErrorFmt(gesInvalidColorFormat, FormatWord);

    ColorConverter.SetSourceModel(source);
    ColorConverter.SetTargetModel(target);
    ColorConverter.SetSourceSampleCount(samples);
    ColorConverter.SetTargetSampleCount(samples);
    ColorConverter.SetSourceSampleBits(BitDepth);
    ColorConverter.SetTargetSampleBits(targetBits);
    SetPixelFormat(ColorConverter.TargetBitmapFormat());
    if (ColorType == 0 || ColorType == 4) {
        BuiltPalette = ColorConverter.BuildGrayPalette(false);
        HasBuiltPalette = true;
    }
}

void TPNGGraphic::ReadPalette() {
    if (ChunkLength % 3 != 0) GraphicErrorFmt(gesInvalidPalette, FormatWord);
    FetchChunkData();
    if (ColorType != 3) return;  // a suggestion for other colour types; not used
    SetUpColors();
    PaletteEntries = static_cast<int32_t>(std::min<uint32_t>(ChunkLength / 3, 256));
    BuiltPalette = ColorConverter.BuildColorPalette({ChunkData.data()}, rpInterleaved8, PaletteEntries, false);
    HasBuiltPalette = true;
}

void TPNGGraphic::ReadGamma() {
    FetchChunkData();
    if (ChunkLength < 4) return;  // too short to state a gamma
    const float gamma = static_cast<float>(BigEndian32(ChunkData.data()) / 100000.0);
    ColorConverter.SetGammaPair(gamma, 2.2f);
    ColorConverter.SetTargetFlags(ColorConverter.TargetFlags() | cfGamma);
    Properties.Options |= imUseGamma;
}

namespace {
// A grey sample of the file as an 8-bit level: low depths are spread over 0..255, 16-bit
// samples are narrowed like the pixels. The depth is not checked yet when these chunks come
// (a wrong one fails at the image data), so every value must be safe here.
uint8_t GreyLevel(uint32_t value, uint8_t depth) {
    if (depth == 16) return static_cast<uint8_t>(value * 255 / 65535);
    if (depth >= 1 && depth < 8) {
        const uint32_t top = (1u << depth) - 1;
        return static_cast<uint8_t>((value & top) * 255 / top);
    }
    return static_cast<uint8_t>(value);
}
uint8_t ColorLevel(uint32_t value, uint8_t depth) {
    return static_cast<uint8_t>(depth == 16 ? value * 255 / 65535 : value);
}
}  // namespace

void TPNGGraphic::ReadBackground() {
    FetchChunkData();
    const uint8_t* d = ChunkData.data();
    switch (ColorType) {
        case 0:
        case 4:
            if (ChunkLength >= 2) {
                const uint8_t v = GreyLevel(BigEndian16(d), BitDepth);
                FillColor = RGBColor(v, v, v);
            }
            break;
        case 2:
        case 6:
            if (ChunkLength >= 6)
                FillColor = RGBColor(ColorLevel(BigEndian16(d), BitDepth), ColorLevel(BigEndian16(d + 2), BitDepth),
                                     ColorLevel(BigEndian16(d + 4), BitDepth));
            break;
        case 3:
            if (ChunkLength >= 1) BackgroundIndex = d[0];
            break;
        default: break;
    }
}

void TPNGGraphic::ReadTransparency() {
    FetchChunkData();
    const uint8_t* d = ChunkData.data();
    if (ColorType == 0 && ChunkLength >= 2) {
        const uint8_t v = GreyLevel(BigEndian16(d), BitDepth);
        KeyColor = RGBColor(v, v, v);
    } else if (ColorType == 2 && ChunkLength >= 6) {
        KeyColor = RGBColor(ColorLevel(BigEndian16(d), BitDepth), ColorLevel(BigEndian16(d + 2), BitDepth),
                            ColorLevel(BigEndian16(d + 4), BitDepth));
    }
    // Indexed images: the table is kept, not applied to the bitmap. Grey and colour images
    // with alpha carry no tRNS.
    if (ColorType == 3) IndexAlphaTable.assign(d, d + std::min<uint32_t>(ChunkLength, 256));
}

uint8_t TPNGGraphic::IndexAlpha(uint32_t index) const {
    // Two-bit indices sit in a four-bit bitmap spread over its range (index k becomes 5k).
    const int bits = BitsPerPixel();
    const uint32_t spread = BitDepth >= 1 && BitDepth < bits && bits <= 8 ? ((1u << bits) - 1) / ((1u << BitDepth) - 1) : 1;
    if (index % spread != 0) return 255;
    const uint32_t k = index / spread;
    return k < IndexAlphaTable.size() ? IndexAlphaTable[k] : 255;
}

TColor TPNGGraphic::BitmapColor(TColor fileColor) const {
    if (!(ColorConverter.TargetFlags() & cfGamma)) return fileColor;
    const auto& table = ColorConverter.GammaTable();
    return RGBColor(table[GetRValue(fileColor)], table[GetGValue(fileColor)], table[GetBValue(fileColor)]);
}

void TPNGGraphic::FillBackground() {
    TColor color = BitmapColor(FillColor);
    if (ColorType == 3) {
        // The entry the index names, as the pixels show it; white when the palette has none.
        color = 0xFFFFFF;
        if (BackgroundIndex >= 0 && BackgroundIndex < PaletteEntries && BackgroundIndex < (1 << BitDepth) &&
            HasBuiltPalette) {
            const int shown = BackgroundIndex * ((1 << ColorConverter.TargetSampleBits()) - 1) / ((1 << BitDepth) - 1);
            if (shown < BuiltPalette.Count()) {
                const TPaletteEntry& e = BuiltPalette[shown];
                color = RGBColor(e.Red, e.Green, e.Blue);
            }
        }
    }
    if (Width() == 0 || Height() == 0) return;
    // The first row pixel by pixel, then copies of it: the same result as a per-pixel fill
    // of the whole image at a fraction of the cost.
    SetPixel(0, 0, TRGBQuad{GetBValue(color), GetGValue(color), GetRValue(color), 0});
    const uint32_t raw = GetRawPixel(0, 0);
    for (int32_t x = 1; x < Width(); ++x) SetRawPixel(x, 0, raw);
    const uint8_t* first = ScanLine(0);
    for (int32_t y = 1; y < Height(); ++y) std::memcpy(ScanLine(y), first, RowStride());
}

void TPNGGraphic::InflateRow(uint8_t* buffer, size_t count) {
    uint8_t* dest = buffer;
    size_t missing = count;
    while (missing > 0) {
        if (Inflater->AvailableInput() == 0) {
            HeldDataLength = 0;
            while (HeldDataLength == 0) {
                if (!ChunkIs(ctIDAT)) {
                    // The image data ended early. The rest of the row reads as zeros, so
                    // what such rows show does not depend on earlier rows' leftovers.
                    std::memset(dest, 0, missing);
                    return;
                }
                FetchChunkData();
                InflatePosition = 0;
                HeldDataLength = ChunkLength;
                NextChunkHeader();
            }
        }
        const uint8_t* source = ChunkData.data() + InflatePosition;
        uint8_t* out = dest;
        const int32_t room = static_cast<int32_t>(std::min<size_t>(missing, std::numeric_limits<int32_t>::max()));
        Inflater->Decode(source, out, static_cast<int32_t>(HeldDataLength - InflatePosition), room);
        InflatePosition = static_cast<size_t>(source - ChunkData.data());
        missing -= static_cast<size_t>(out - dest);
        dest = out;
        const int32_t status = Inflater->LastStatus();
        if (status == Z_STREAM_END) {
            if (Inflater->AvailableOutput() > 0 || Inflater->AvailableInput() > 0)
                GraphicErrorFmt(gesExtraCompressedData, FormatWord);
            // The stream ended exactly with this row; any rows after it read as zeros.
            std::memset(dest, 0, missing);
            return;
        }
        if (status != Z_OK) GraphicErrorFmt(gesDecompression, FormatWord);
    }
}

void TPNGGraphic::LoadImageData() {
    StartProgress(gesTransfering);
    if (PixelFormat() == pfDevice) SetUpColors();
    if (HasBuiltPalette) SetPalette(BuiltPalette);
    const int32_t width = Properties.Width, height = Properties.Height;
    // Bytes of a row of the given number of pixels, with its filter byte.
    const size_t k = BitDepth == 16 ? PixelStride / 2 : PixelStride;
    auto rowBytes = [&](uint64_t pixels) -> size_t {
        return static_cast<size_t>(1 + ((pixels * BitDepth + 7) / 8) * k);
    };
    // Inflating turns a byte into at most 1032 (a 258-byte match coded in two bits). A file
    // whose rest cannot hold the image's rows even then claims a size it does not have, and
    // is refused before a bitmap of that size is made: a few bytes must not cost a gigabyte.
    // Plain rows are whole bytes with a filter byte each; the interlaced passes hold every
    // pixel once, and the last pass alone has a filter byte for every other row.
    if (width > 0 && height > 0) {
        using Wide = unsigned __int128;
        const Wide least = InterlaceMethod == 1
                               ? (Wide(width) * Wide(height) * BitDepth * k + 7) / 8 + Wide(height) / 2
                               : Wide(height) * rowBytes(static_cast<uint64_t>(width));
        if (least > Wide(static_cast<uint64_t>(LoadStream->Remaining())) * 1032)
            GraphicErrorFmt(gesInvalidImage, FormatWord);
    }
    SetSize(width, height);
    FillBackground();
    if (KeyColor != NoKeyColor) {
        SetTransparentColor(BitmapColor(KeyColor));
        SetTransparent(true);
    }

    const size_t fullRow = rowBytes(static_cast<uint64_t>(width));
    // The row buffers are pixel memory as much as the bitmap is, and held to the same bound.
    if (fullRow > static_cast<uint64_t>(MaxBitmapBytes) / 2) throw EOutOfResources(Format(SImageTooLarge, width, height));
    std::vector<uint8_t> buffers(2 * fullRow, 0);
    uint8_t* current = buffers.data();
    uint8_t* previous = buffers.data() + fullRow;

    if (InterlaceMethod == 1) {
        for (size_t p = 0; p < 7; ++p) {
            const TAdam7Pass& pass = Adam7Passes[p];
            if (pass.FirstColumn >= static_cast<uint32_t>(width)) continue;
            const uint64_t pixels = (uint64_t(width) + pass.ColumnStep - 1 - pass.FirstColumn) / pass.ColumnStep;
            const size_t passRow = rowBytes(pixels);
            // Every pass starts from a row of zeros above it, whatever earlier passes left.
            std::memset(previous, 0, passRow);
            for (uint32_t r = pass.FirstRow; r < static_cast<uint32_t>(height); r += pass.RowStep) {
                InflateRow(current, passRow);
                ReconstructRow(current, previous, passRow, PixelStride);
                ColorConverter.ConvertLine({current + 1}, ScanLine(static_cast<int32_t>(r)), width, pass.Mask);
                std::swap(current, previous);
                if (p == 6) RowProgress(static_cast<int32_t>(r + pass.RowStep), height);
            }
        }
    } else {
        for (int32_t r = 0; r < height; ++r) {
            InflateRow(current, fullRow);
            ReconstructRow(current, previous, fullRow, PixelStride);
            ColorConverter.ConvertLine({current + 1}, ScanLine(r), width, 0xFF);
            std::swap(current, previous);
            RowProgress(r, height);
        }
    }

    // The rest of the image data is checked, not inflated.
    while (ChunkIs(ctIDAT)) {
        FetchChunkData();
        NextChunkHeader();
    }
}
