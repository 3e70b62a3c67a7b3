#include "pcx.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TPCXGraphic::Class = {
    "TPCXGraphic", [] { return std::unique_ptr<TGraphic>(new TPCXGraphic); }, &TPCXGraphic::CanReadStream};

struct TPCXHeader {
    uint8_t Manufacturer;
    uint8_t Version;
    uint8_t Encoding;
    uint8_t BitsPerPlane;
    uint16_t XMin, YMin, XMax, YMax;
    uint16_t HorizontalResolution, VerticalResolution;
    uint8_t ColorMap[48];
    uint8_t Planes;
    uint16_t BytesPerLine;
    uint16_t PaletteInfo;
};

namespace {

// The words the readers' messages put in for this format: the colour-format message names
// the format, the signature message both kinds of file that share it.
constexpr const char* FormatWord = "PCX";
constexpr const char* SignatureWord = "PCX or SCR";

constexpr int HeaderSize = 128;
constexpr int64_t PaletteBlockSize = 769;
constexpr uint8_t PaletteBlockMarker = 12;
// The most one count byte and its data byte decode to.
constexpr int64_t LongestRun = 63;

// Files that state no palette (version 3) are shown in these colours.
constexpr uint8_t StandardColors[16 * 3] = {
    0,   0,   0,   128, 0,   0,   0,   128, 0,   128, 128, 0,   0,   0,   128, 128, 0,   128, 0,   128, 128, 128, 128, 128,
    192, 192, 192, 255, 0,   0,   0,   255, 0,   255, 255, 0,   0,   0,   255, 255, 0,   255, 0,   255, 255, 255, 255, 255,
};

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool IsManufacturer(uint8_t value) { return value == 10 || value == 205; }

TPCXHeader ParseHeader(const uint8_t* b) {
    TPCXHeader h{};
    h.Manufacturer = b[0];
    h.Version = b[1];
    h.Encoding = b[2];
    h.BitsPerPlane = b[3];
    h.XMin = Word(b + 4);
    h.YMin = Word(b + 6);
    h.XMax = Word(b + 8);
    h.YMax = Word(b + 10);
    h.HorizontalResolution = Word(b + 12);
    h.VerticalResolution = Word(b + 14);
    std::memcpy(h.ColorMap, b + 16, sizeof h.ColorMap);
    h.Planes = b[65];
    h.BytesPerLine = Word(b + 66);
    h.PaletteInfo = Word(b + 68);
    return h;
}

TPCXHeader ReadHeader(TStream& stream) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    return ParseHeader(bytes);
}

// Bit 7 - j of a plane byte becomes bit 0 of pixel j's nibble; pixel j sits in byte j / 2 of
// the four output bytes (read as a little-endian word), the high nibble for even j.
constexpr std::array<uint32_t, 256> MakeNibbleSpread() {
    std::array<uint32_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v)
        for (unsigned j = 0; j < 8; ++j)
            if (v & (0x80u >> j)) table[v] |= 1u << (8 * (j / 2) + (j % 2 == 0 ? 4 : 0));
    return table;
}
constexpr std::array<uint32_t, 256> NibbleSpread = MakeNibbleSpread();

// Builds count 4-bit indices from planes of one bit, bit k of an index from plane k, two
// pixels a byte; the last byte may hold a single pixel in its high nibble. Each plane holds at
// least count bits.
void CombineBitPlanes(const uint8_t* row, size_t bytesPerLine, int planes, int32_t count, uint8_t* target) {
    const size_t outBytes = (static_cast<size_t>(count) * 4 + 7) / 8;
    for (size_t i = 0, o = 0; o < outBytes; ++i, o += 4) {
        uint32_t group = 0;
        for (int p = 0; p < planes; ++p) group |= NibbleSpread[row[static_cast<size_t>(p) * bytesPerLine + i]] << p;
        const size_t n = std::min<size_t>(4, outBytes - o);
        for (size_t k = 0; k < n; ++k) target[o + k] = static_cast<uint8_t>(group >> (8 * k));
    }
}

// Spreads count samples of 2 to 7 bits, packed from the most significant bit, to 0..255.
// Only the bytes that hold those samples are read.
void WidenSamples(const uint8_t* plane, unsigned bits, int32_t count, uint8_t* out) {
    const unsigned top = (1u << bits) - 1;
    for (int32_t x = 0; x < count; ++x) {
        const size_t bit = static_cast<size_t>(x) * bits;
        const unsigned shift = static_cast<unsigned>(bit % 8);
        unsigned pair = static_cast<unsigned>(plane[bit / 8]) << 8;
        if (shift + bits > 8) pair |= plane[bit / 8 + 1];
        const unsigned v = (pair >> (16 - shift - bits)) & top;
        out[x] = static_cast<uint8_t>(v * 255 / top);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TPCXRLEDecoder

void TPCXRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const uint8_t* src = source;
    const uint8_t* const srcEnd = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    uint8_t* const dstEnd = dst + std::max(outputSize, 0);
#if defined(__SSE2__)
    // While 16 input bytes and room for 64 output bytes remain, literals are copied sixteen at a
    // time up to the next count byte and runs are written with whole 16-byte stores. Stores may
    // reach past what a step produces, never past the output, and the steps after it replace
    // those bytes.
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i countFloor = _mm_set1_epi8(0x3F);  // b >= 0xC0 is b ^ 0x80 > 0x3F as a signed byte
    auto roomy = [&] { return srcEnd - src >= 16 && dstEnd - dst >= 64; };
    while (roomy()) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
        const auto counts = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_xor_si128(bytes, flip), countFloor)));
        if (counts == 0) {
            src += 16;
            dst += 16;
            continue;
        }
        const auto literals = static_cast<unsigned>(std::countr_zero(counts));
        src += literals;
        dst += literals;
        // Runs tend to follow runs: take them one after another before looking for literals.
        while (roomy() && src[0] >= 0xC0) {
            const size_t n = src[0] & 0x3Fu;
            const __m128i fill = _mm_set1_epi8(static_cast<char>(src[1]));
            src += 2;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), fill);
            if (n > 16)
                for (size_t k = 16; k < 64; k += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), fill);
            dst += n;
        }
    }
#endif
    while (dst < dstEnd && src < srcEnd) {
        const uint8_t b = *src++;
        if (b < 0xC0) {
            *dst++ = b;
            continue;
        }
        if (src == srcEnd) break;
        const size_t n = std::min<size_t>(b & 0x3Fu, static_cast<size_t>(dstEnd - dst));
        std::memset(dst, *src++, n);
        dst += n;
    }
    FProduced = static_cast<int32_t>(dst - dest);
}

// ---------------------------------------------------------------------------------------------
// TPCXGraphic

bool TPCXGraphic::CanReadStream(TStream& stream) {
    uint8_t bytes[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, bytes, HeaderSize)) return false;
    const TPCXHeader h = ParseHeader(bytes);
    // Version 1 was never written; 4 is the Windows version of the program.
    return IsManufacturer(h.Manufacturer) && h.Version <= 5 && h.Version != 1 && h.Encoding <= 1;
}

bool TPCXGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPCXGraphic::CanReadStream);
}

bool TPCXGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    const TPCXHeader h = ReadHeader(stream);
    if (!IsManufacturer(h.Manufacturer)) return false;
    TImageProperties& p = Properties;
    p.Width = int32_t{h.XMax} - h.XMin + 1;
    p.Height = int32_t{h.YMax} - h.YMin + 1;
    p.BitsPerSample = h.BitsPerPlane;
    p.SamplesPerPixel = h.Planes;
    const int bitsPerPixel = h.BitsPerPlane * h.Planes;
    p.BitsPerPixel = static_cast<uint8_t>(bitsPerPixel);
    p.PixelModel = bitsPerPixel <= 8 ? pmIndexed : pmRGB;
    p.Compression = h.Encoding == 1 ? ckRLE : ckNone;
    p.XResolution = h.HorizontalResolution;
    p.YResolution = h.VerticalResolution;
    return true;
}

TPCXGraphic::TRowPath TPCXGraphic::SetUpColors(const TPCXHeader& h, TPixelFormat& format) {
    const int bits = h.BitsPerPlane;
    const int planes = h.Planes;
    // Depths of 0 or above 16 bits and plane counts of 0 or above 4 are the manager's to refuse.
    ColorConverter.SetSourceModel(Properties.PixelModel);
    ColorConverter.SetSourceSampleBits(bits);
    ColorConverter.SetSourceSampleCount(planes);
    // 16-bit samples are little-endian in the file.
    ColorConverter.SetSourceFlags(std::endian::native == std::endian::big ? cfSwapBytes : 0);
    ColorConverter.SetTargetFlags(0);
    auto describe = [&](TPixelModel source, int sourceBits, TPixelModel target, int targetBits, int samples) {
        ColorConverter.SetSourceModel(source);
        ColorConverter.SetSourceSampleBits(sourceBits);
        ColorConverter.SetSourceSampleCount(samples);
        ColorConverter.SetTargetModel(target);
        ColorConverter.SetTargetSampleBits(targetBits);
        ColorConverter.SetTargetSampleCount(samples);
        return ColorConverter.TargetBitmapFormat();
    };

    TRowPath path = TRowPath::Converter;
    format = pfCustom;
    if (bits == 1 && planes > 1) {
        // No bitmap format holds several one-bit samples a pixel: the planes are bits of one
        // index, which the reader assembles. The description serves the palette builders.
        describe(pmIndexed, 1, pmIndexed, 1, planes);
        format = pf4bit;
        path = TRowPath::PlaneBits;
    } else if (planes == 1 && bits <= 8) {
        format = describe(pmIndexed, bits, pmIndexed, bits == 2 ? 4 : bits, 1);
    } else if (planes == 1 && bits == 16) {
        // Indices of 16 bits address no palette: they are grey levels.
        format = describe(pmGray, 16, pmGray, 8, 1);
    } else if (planes >= 3 && (bits == 8 || bits == 16)) {
        format = describe(planes == 4 ? pmRGBA : pmRGB, bits, planes == 4 ? pmBGRA : pmBGR, 8, planes);
    } else if (planes == 3 && bits < 8) {
        // Red, green and blue of a few bits each, scaled to full bytes before conversion.
        format = describe(pmRGB, 8, pmBGR, 8, 3);
        path = TRowPath::Widened;
    }
    // Samples of 9 to 15 bits, two planes of more than one bit and four planes of fewer than
    // eight have no bitmap format.
    if (format == pfCustom) GraphicErrorFmt(gesInvalidColorFormat, FormatWord);
    return path;
}

void TPCXGraphic::SetUpPalette(TStream& stream, const TPCXHeader& h) {
    const TPixelFormat format = PixelFormat();
    if (format != pf1bit && format != pf4bit && format != pf8bit) return;
    if (ColorConverter.SourceModel() == pmGray || format == pf1bit) {
        SetPalette(ColorConverter.BuildGrayPalette(false));
        return;
    }
    // Built like any other palette so that indices the manager widens (2 and 3 bits to 4) still
    // show the entry of their own value.
    if (h.Version == 3) {
        SetPalette(ColorConverter.BuildColorPalette({StandardColors}, rpInterleaved8, 16, false));
        return;
    }
    if (format == pf4bit) {
        SetPalette(h.PaletteInfo == 2 ? ColorConverter.BuildGrayPalette(false)
                                      : ColorConverter.BuildColorPalette({h.ColorMap}, rpInterleaved8, 16, false));
        return;
    }
    // The palette block ends the stream; one that would reach into the header is not there.
    TStreamPositionGuard guard(stream);
    uint8_t block[PaletteBlockSize];
    const int64_t blockStart = stream.Size() - PaletteBlockSize;
    bool found = false;
    if (blockStart >= stream.Position()) {
        stream.SetPosition(blockStart);
        found = stream.Read(block, PaletteBlockSize) == PaletteBlockSize && block[0] == PaletteBlockMarker;
    }
    if (found)
        SetPalette(ColorConverter.BuildColorPalette({block + 1}, rpInterleaved8, 256, false));
    else if (h.PaletteInfo == 2)
        SetPalette(ColorConverter.BuildGrayPalette(false));
}

void TPCXGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    // A foreign file, or a header whose corners leave no pixel, would otherwise load as an
    // empty picture and pass for a success.
    if (!ReadProperties(stream, 0) || Properties.Width < 1 || Properties.Height < 1)
        GraphicErrorFmt(gesInvalidImage, SignatureWord);
    stream.SetPosition(start);

    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    const TPCXHeader h = ReadHeader(stream);
    int64_t dataSize = stream.Remaining();

    TPixelFormat format = pfCustom;
    const TRowPath path = SetUpColors(h, format);
    SetPixelFormat(format);
    // The last 769 bytes of a 256-colour image are its palette block, or where it would be.
    if (format == pf8bit && ColorConverter.SourceModel() == pmIndexed)
        dataSize = std::max<int64_t>(dataSize - PaletteBlockSize, 0);
    SetUpPalette(stream, h);

    const int32_t width = Properties.Width;
    const int32_t height = Properties.Height;
    const size_t bytesPerLine = h.BytesPerLine;
    const int64_t rowSize = int64_t{h.Planes} * h.BytesPerLine;
    const int64_t imageBytes = height * rowSize;
    // The decoded rows are bounded like a bitmap. No data of n bytes decodes to more than
    // n / 2 runs of 63 bytes: a header that claims more is wrong, not a damaged picture, and
    // its bitmap would be made for nothing.
    if (imageBytes > MaxBitmapBytes) throw EOutOfResources(Format(SImageTooLarge, width, height));
    if (imageBytes > (dataSize + 1) / 2 * LongestRun) throw EReadError(SReadError);
    SetSize(width, height);

    auto image = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(imageBytes));
    int64_t filled = 0;
    if (Properties.Compression == ckRLE) {
        // Writers spend at most two bytes on a row byte (count 1 and the byte for values of
        // 0xC0 and more); whatever lies beyond that cannot be meant for the rows.
        const int64_t packedSize =
            std::min({dataSize, 2 * imageBytes + 2, int64_t{std::numeric_limits<int32_t>::max()}});
        auto packed = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(packedSize));
        const int64_t got = stream.Read(packed.get(), packedSize);
        const uint8_t* source = packed.get();
        uint8_t* dest = image.get();
        TPCXRLEDecoder decoder;
        decoder.BeginDecode();
        decoder.Decode(source, dest, static_cast<int32_t>(got), static_cast<int32_t>(imageBytes));
        decoder.EndDecode();
        filled = decoder.BytesProduced();
    } else {
        filled = stream.Read(image.get(), std::min(dataSize, imageBytes));
    }
    // Rows the data does not reach are left as they are; the one it ends in gets zeros.
    const int64_t rows = rowSize > 0 ? (filled + rowSize - 1) / rowSize : 0;
    std::memset(image.get() + filled, 0, static_cast<size_t>(rows * rowSize - filled));
    EndProgress();

    StartProgress(gesTransfering);
    // A plane row shorter than the width leaves the pixels it does not hold as they are.
    const int32_t count =
        static_cast<int32_t>(std::min<int64_t>(width, int64_t{h.BytesPerLine} * 8 / h.BitsPerPlane));
    std::vector<uint8_t> widened(path == TRowPath::Widened ? 3 * static_cast<size_t>(std::max(count, 0)) : 0);
    const void* planes[4] = {};
    for (int32_t y = 0; y < height; ++y) {
        if (y < rows && count > 0) {
            const uint8_t* row = image.get() + y * rowSize;
            uint8_t* line = ScanLine(y);
            switch (path) {
                case TRowPath::PlaneBits: CombineBitPlanes(row, bytesPerLine, h.Planes, count, line); break;
                case TRowPath::Widened:
                    for (size_t k = 0; k < 3; ++k) {
                        uint8_t* samples = widened.data() + k * static_cast<size_t>(count);
                        WidenSamples(row + k * bytesPerLine, h.BitsPerPlane, count, samples);
                        planes[k] = samples;
                    }
                    ColorConverter.ConvertLine(std::span<const void* const>(planes, 3), line, count, 0xFF);
                    break;
                case TRowPath::Converter:
                    for (size_t k = 0; k < h.Planes; ++k) planes[k] = row + k * bytesPerLine;
                    ColorConverter.ConvertLine(std::span<const void* const>(planes, h.Planes), line, count, 0xFF);
                    break;
            }
        }
        RowProgress(y, height);
    }
    EndProgress();
}
