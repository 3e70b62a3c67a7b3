#include "ppm.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "exceptions.h"
#include "streams.h"
#include "strutils.h"

const TGraphicClass TPPMGraphic::Class = {
    "TPPMGraphic", [] { return std::unique_ptr<TGraphic>(new TPPMGraphic); }, &TPPMGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "PPM";
constexpr const char* InvalidFormatWord = "PBM, PGM or PPM";

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsVariant(char c) { return c >= '1' && c <= '6'; }
bool IsBitmap(char variant) { return variant == '1' || variant == '4'; }
bool IsText(char variant) { return variant >= '1' && variant <= '3'; }
int ChannelsOf(char variant) { return variant == '3' || variant == '6' ? 3 : 1; }

// Keeps LoadStream on the stream being read while the scope lasts.
class TStreamScope {
public:
    TStreamScope(TStream*& slot, TStream* stream) : FSlot(slot), FSaved(slot) { slot = stream; }
    ~TStreamScope() { FSlot = FSaved; }
    TStreamScope(const TStreamScope&) = delete;
    TStreamScope& operator=(const TStreamScope&) = delete;

private:
    TStream*& FSlot;
    TStream* FSaved;
};

// Samples of a maximum above 255 are brought to 0..255; values beyond the maximum are full.
uint8_t Scaled(uint32_t value, uint32_t maximum) {
    return value >= maximum ? 255 : static_cast<uint8_t>(uint64_t{value} * 255 / maximum);
}

// A text sample: below a maximum of 256 its lowest 8 bits, above scaled.
uint8_t TextSample(uint32_t value, uint32_t maximum) {
    return maximum <= 255 ? static_cast<uint8_t>(value) : Scaled(value, maximum);
}

// Whether the data left can hold the image at all: every raw sample needs its bytes, every
// bitmap pixel a digit, every other text sample a digit and, but for the last, a separator.
// Counting this way never overflows.
bool DataCanHold(char variant, uint32_t width, uint32_t height, uint32_t maximum, int64_t available) {
    const uint64_t pixels = uint64_t{width} * height;
    const uint64_t left = static_cast<uint64_t>(std::max<int64_t>(available, 0));
    if (pixels == 0) return true;
    if (variant == '1') return pixels <= left;
    if (IsText(variant)) return pixels * static_cast<uint64_t>(ChannelsOf(variant)) <= (left + 1) / 2;
    if (variant == '4') return (uint64_t{width} + 7) / 8 * height <= left;
    const uint64_t pixelBytes = static_cast<uint64_t>(ChannelsOf(variant)) * (maximum > 255 ? 2 : 1);
    return pixels <= left / pixelBytes;
}

// Red, green, blue pixels to the bitmap's blue, green, red, in place. Raw pixel maps spend
// most of their time here, so sixteen pixels, three registers, change at a time.
void SwapRedBlue(uint8_t* pixelRow, size_t pixels) {
    uint8_t* const p = pixelRow;
    size_t x = 0;
#if defined(__SSE2__)
    // Per register of the three, by the byte's place in its pixel: the first takes the byte
    // two further on, the second stays, the third takes the byte two before.
    struct TMasks {
        alignas(16) uint8_t Bytes[3][3][16];
        constexpr TMasks() : Bytes() {
            for (int r = 0; r < 3; ++r)
                for (int i = 0; i < 16; ++i) Bytes[r][(16 * r + i) % 3][i] = 0xFF;
        }
    };
    static constexpr TMasks Masks;
    auto mask = [](int r, int place) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(Masks.Bytes[r][place]));
    };
    // One register's bytes from the bytes two further on and two before, its neighbours
    // supplying what crosses its edges.
    auto swapped = [](__m128i v, __m128i next, __m128i previous, __m128i fromNext, __m128i keep,
                      __m128i fromPrevious) {
        return _mm_or_si128(_mm_and_si128(v, keep), _mm_or_si128(_mm_and_si128(next, fromNext),
                                                                  _mm_and_si128(previous, fromPrevious)));
    };
    const __m128i n0 = mask(0, 0), k0 = mask(0, 1), p0 = mask(0, 2);
    const __m128i n1 = mask(1, 0), k1 = mask(1, 1), p1 = mask(1, 2);
    const __m128i n2 = mask(2, 0), k2 = mask(2, 1), p2 = mask(2, 2);
    for (; x + 16 <= pixels; x += 16) {
        __m128i* const at = reinterpret_cast<__m128i*>(p + 3 * x);
        const __m128i a = _mm_loadu_si128(at), b = _mm_loadu_si128(at + 1), c = _mm_loadu_si128(at + 2);
        const __m128i aNext = _mm_or_si128(_mm_srli_si128(a, 2), _mm_slli_si128(b, 14));
        const __m128i bNext = _mm_or_si128(_mm_srli_si128(b, 2), _mm_slli_si128(c, 14));
        const __m128i bPrevious = _mm_or_si128(_mm_slli_si128(b, 2), _mm_srli_si128(a, 14));
        const __m128i cPrevious = _mm_or_si128(_mm_slli_si128(c, 2), _mm_srli_si128(b, 14));
        _mm_storeu_si128(at, swapped(a, aNext, _mm_slli_si128(a, 2), n0, k0, p0));
        _mm_storeu_si128(at + 1, swapped(b, bNext, bPrevious, n1, k1, p1));
        _mm_storeu_si128(at + 2, swapped(c, _mm_srli_si128(c, 2), cPrevious, n2, k2, p2));
    }
#endif
    for (; x < pixels; ++x) std::swap(p[3 * x], p[3 * x + 2]);
}

}  // namespace

bool TPPMGraphic::CanReadStream(TStream& stream) {
    uint8_t magic[2];
    return PeekSignature(stream, 10, magic, 2) && magic[0] == 'P' && IsVariant(static_cast<char>(magic[1]));
}

bool TPPMGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPPMGraphic::CanReadStream);
}

// ---------------------------------------------------------------------------------------------
// The character source

bool TPPMGraphic::Refill() {
    const int64_t got = LoadStream->Read(FBuffer.data(), static_cast<int64_t>(BufferSize));
    FIndex = 0;
    FCount = got > 0 ? static_cast<size_t>(got) : 0;
    return FCount > 0;
}

uint8_t TPPMGraphic::NextChar() {
    if (FIndex == FCount && !Refill()) GraphicErrorFmt(gesStreamReadError, FormatWord);
    return FBuffer[FIndex++];
}

uint8_t TPPMGraphic::NextDigit() {
    uint8_t c = NextChar();
    while (!IsDigit(c)) {
        if (c == '#')
            do c = NextChar();
            while (c != '\r' && c != '\n');
        c = NextChar();
    }
    return c;
}

uint32_t TPPMGraphic::ReadNumber() {
    uint8_t c = NextDigit();
    constexpr uint32_t Largest = std::numeric_limits<int32_t>::max();
    uint32_t value = 0;
    for (;;) {
        const uint32_t digit = c - '0';
        value = value > (Largest - digit) / 10 ? Largest : value * 10 + digit;
        // The last number of a text map may end the file without a separator after it.
        if (FIndex == FCount && !Refill()) break;
        c = FBuffer[FIndex++];
        if (!IsDigit(c)) break;
    }
    return value;
}

void TPPMGraphic::ReadBytes(uint8_t* dest, size_t count) {
    while (count > 0) {
        if (FIndex == FCount) {
            if (count >= BufferSize) {
                // Long rows go straight to their place.
                const int64_t got = LoadStream->Read(dest, static_cast<int64_t>(count));
                if (got <= 0) GraphicErrorFmt(gesStreamReadError, FormatWord);
                dest += got;
                count -= static_cast<size_t>(got);
                continue;
            }
            if (!Refill()) GraphicErrorFmt(gesStreamReadError, FormatWord);
        }
        const size_t n = std::min(count, FCount - FIndex);
        std::memcpy(dest, FBuffer.data() + FIndex, n);
        FIndex += n;
        dest += n;
        count -= n;
    }
}

int64_t TPPMGraphic::Available() {
    return static_cast<int64_t>(FCount - FIndex) + std::max<int64_t>(LoadStream->Remaining(), 0);
}

// ---------------------------------------------------------------------------------------------
// TPPMGraphic

char TPPMGraphic::ReadMagic() {
    if (NextChar() != 'P') return 0;
    // The magic digit is converted as a number: anything else there is a conversion error,
    // and a line that ends after the "P" leaves nothing to convert.
    const char digit = static_cast<char>(NextChar());
    StrToInt(digit == '\r' || digit == '\n' || digit == '#' ? std::string() : std::string(1, digit));
    return digit;
}

void TPPMGraphic::ReadHeaderNumbers(char variant, uint32_t& width, uint32_t& height, uint32_t& maximum) {
    width = ReadNumber();
    height = ReadNumber();
    maximum = IsBitmap(variant) ? 1 : ReadNumber();
}

bool TPPMGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    TStreamScope scope(LoadStream, &stream);
    EmptyBuffer();
    Properties.Compression = ckNone;
    const char variant = ReadMagic();
    if (variant == 0) return false;
    if (!IsVariant(variant)) return true;

    uint32_t width, height, maximum;
    ReadHeaderNumbers(variant, width, height, maximum);
    TImageProperties& p = Properties;
    p.Width = static_cast<int32_t>(width);
    p.Height = static_cast<int32_t>(height);
    p.SamplesPerPixel = static_cast<uint8_t>(ChannelsOf(variant));
    p.BitsPerSample = IsBitmap(variant) ? 1 : 8;
    p.PixelModel = ChannelsOf(variant) == 3 ? pmRGB : pmIndexed;
    p.BitsPerPixel = static_cast<uint8_t>(p.SamplesPerPixel * p.BitsPerSample);
    return true;
}

void TPPMGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    TStreamScope scope(LoadStream, &stream);
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, InvalidFormatWord);
    stream.SetPosition(start);
    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesTransfering);

    EmptyBuffer();
    const char variant = ReadMagic();
    if (IsVariant(variant)) {
        SetPixelFormat(IsBitmap(variant) ? pf1bit : ChannelsOf(variant) == 3 ? pf24bit : pf8bit);
        uint32_t width, height, maximum;
        ReadHeaderNumbers(variant, width, height, maximum);
        // A claim the data cannot fill ends here, before the bitmap takes its memory.
        if (!DataCanHold(variant, width, height, maximum, Available()))
            GraphicErrorFmt(gesStreamReadError, FormatWord);
        SetSize(static_cast<int32_t>(width), static_cast<int32_t>(height));
        if (ChannelsOf(variant) == 1) {
            ColorConverter.SetTargetSampleCount(1);
            ColorConverter.SetTargetSampleBits(IsBitmap(variant) ? 1 : 8);
            SetPalette(ColorConverter.BuildGrayPalette(IsBitmap(variant)));
        }
        ReadRows(variant, static_cast<int32_t>(width), static_cast<int32_t>(height), maximum);
    }
    EndProgress();
}

void TPPMGraphic::ReadRows(char variant, int32_t width, int32_t height, uint32_t maximum) {
    // No pixels, nothing to read: a row buffer for a width without rows would be a claim the
    // data never had to back.
    if (width <= 0 || height <= 0) return;
    const size_t w = static_cast<size_t>(width);
    const bool wide = !IsText(variant) && maximum > 255;
    std::vector<uint8_t> scale;  // raw two-byte sample to 0..255
    std::vector<uint8_t> fileRow;  // two-byte samples as the file holds them
    if (wide) {
        scale.resize(65536);
        for (uint32_t v = 0; v < scale.size(); ++v) scale[v] = Scaled(v, maximum);
        fileRow.resize(w * static_cast<size_t>(ChannelsOf(variant)) * 2);
    }
    auto wideSample = [&](size_t i) { return scale[static_cast<size_t>(fileRow[2 * i] << 8 | fileRow[2 * i + 1])]; };

    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = ScanLine(y);
        switch (variant) {
            case '1': {
                unsigned bits = 0;
                for (size_t x = 0; x < w; ++x) {
                    // One digit a pixel, with or without separators between them.
                    bits = (bits << 1 | (NextDigit() & 1)) & 0xFF;
                    if ((x & 7) == 7) row[x >> 3] = static_cast<uint8_t>(bits);
                }
                if (w & 7) row[w >> 3] = static_cast<uint8_t>(bits << (8 - (w & 7)));
                break;
            }
            case '2':
                for (size_t x = 0; x < w; ++x) row[x] = TextSample(ReadNumber(), maximum);
                break;
            case '3':
                for (size_t x = 0; x < w; ++x) {
                    row[3 * x + 2] = TextSample(ReadNumber(), maximum);
                    row[3 * x + 1] = TextSample(ReadNumber(), maximum);
                    row[3 * x] = TextSample(ReadNumber(), maximum);
                }
                break;
            case '4': ReadBytes(row, (w + 7) / 8); break;
            case '5':
                if (wide) {
                    ReadBytes(fileRow.data(), fileRow.size());
                    for (size_t x = 0; x < w; ++x) row[x] = wideSample(x);
                } else {
                    ReadBytes(row, w);
                }
                break;
            default:
                if (wide) {
                    ReadBytes(fileRow.data(), fileRow.size());
                    for (size_t x = 0; x < w; ++x) {
                        row[3 * x + 2] = wideSample(3 * x);
                        row[3 * x + 1] = wideSample(3 * x + 1);
                        row[3 * x] = wideSample(3 * x + 2);
                    }
                } else {
                    ReadBytes(row, 3 * w);
                    SwapRedBlue(row, w);
                }
                break;
        }
        Progress(this, psRunning, static_cast<uint8_t>(int64_t{y} * 100 / height), true, ProgressArea, std::string());
        ProgressArea.Top += 1;
        ProgressArea.Bottom += 1;
    }
}
