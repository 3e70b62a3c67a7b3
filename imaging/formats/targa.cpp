#include "targa.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TTargaGraphic::Class = {
    "TTargaGraphic", [] { return std::unique_ptr<TGraphic>(new TTargaGraphic); }, &TTargaGraphic::CanReadStream};

namespace {

// The word the readers' messages put in for this format.
constexpr const char* FormatWord = "TGA";

constexpr int HeaderSize = 18;

struct TTargaHeader {
    uint8_t IdLength;
    uint8_t ColorMapType;
    uint8_t ImageType;
    uint16_t ColorMapOrigin;
    uint16_t ColorMapLength;
    uint8_t ColorMapEntrySize;
    uint16_t Width;
    uint16_t Height;
    uint8_t PixelDepth;
    uint8_t Descriptor;
};

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

TTargaHeader ParseHeader(const uint8_t* b) {
    return TTargaHeader{b[0], b[1], b[2], Word(b + 3), Word(b + 5), b[7], Word(b + 12), Word(b + 14), b[16], b[17]};
}

TTargaHeader ReadHeader(TStream& stream) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    return ParseHeader(bytes);
}

bool IsKnownImageType(uint8_t type) { return type <= 3 || (type >= 9 && type <= 11); }
bool IsRunLengthType(uint8_t type) { return type >= 9 && type <= 11; }
bool IsGrayType(uint8_t type) { return type == 3 || type == 11; }
bool IsColorMappedType(uint8_t type) { return type == 1 || type == 9; }
bool IsKnownDepth(uint8_t depth) { return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32; }
bool IsKnownMapEntrySize(uint8_t size) { return size == 15 || size == 16 || size == 24 || size == 32; }
// Grey-scale images of 16 bits carry a grey byte and an alpha byte per pixel.
bool IsGrayAlpha(const TTargaHeader& h) { return IsGrayType(h.ImageType) && h.PixelDepth == 16; }

int PixelSizeOfDepth(int depth) {
    switch (depth) {
        case 8: return 1;
        case 15:
        case 16: return 2;
        case 24: return 3;
        case 32: return 4;
        default: return 0;
    }
}

// Bytes of one colour-map entry. Rounding up keeps the map's extent right for any entry size,
// also for sizes writers should not use, so the pixel data after it is found where it is.
int ColorMapEntryBytes(uint8_t entrySize) { return (entrySize + 7) / 8; }

// One colour-map entry: one byte is read as a grey level, two as a 5-5-5 word (bit 15 and the
// low three bits of each component stay clear), three or more as blue, green, red (a fourth
// byte, alpha, and anything beyond are not used).
TPaletteEntry ColorMapEntry(const uint8_t* p, int entryBytes) {
    TPaletteEntry e;
    if (entryBytes == 1) {
        e.Red = e.Green = e.Blue = p[0];
    } else if (entryBytes == 2) {
        const unsigned w = Word(p);
        e.Red = static_cast<uint8_t>((w & 0x7C00) >> 7);
        e.Green = static_cast<uint8_t>((w & 0x03E0) >> 2);
        e.Blue = static_cast<uint8_t>((w & 0x001F) << 3);
    } else {
        e.Blue = p[0];
        e.Green = p[1];
        e.Red = p[2];
    }
    return e;
}

// Pixel value origin + k shows colour-map entry k, so the palette is laid out from the map's
// origin; values below the origin have no entry and stay black. A palette ends at 256 entries
// however long the map is.
TPalette PaletteFromColorMap(const std::vector<uint8_t>& map, int length, int entryBytes, int origin) {
    TPalette palette(std::min(origin + length, TPalette::MaxEntries));
    for (int k = 0; k < length && origin + k < TPalette::MaxEntries; ++k)
        palette[origin + k] = ColorMapEntry(map.data() + static_cast<size_t>(k) * entryBytes, entryBytes);
    return palette;
}

// Spreads rows of grey-alpha byte pairs into blue, green, red, alpha in place, from the right
// so that no pair is overwritten before it is read.
void WidenGrayAlpha(uint8_t* row, int32_t width) {
    for (int32_t x = width - 1; x >= 0; --x) {
        const uint8_t gray = row[2 * x];
        const uint8_t alpha = row[2 * x + 1];
        uint8_t* p = row + 4 * static_cast<size_t>(x);
        p[0] = p[1] = p[2] = gray;
        p[3] = alpha;
    }
}

void RaiseReadError() { throw EReadError(SReadError); }

// Writes one pixel n times; a fixed pixel size lets the copies become plain moves.
template <size_t P>
uint8_t* FillPixels(uint8_t* dst, const uint8_t* pixel, int32_t n) {
    for (int32_t i = 0; i < n; ++i, dst += P) std::memcpy(dst, pixel, P);
    return dst;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTargaRLEDecoder

TTargaRLEDecoder::TTargaRLEDecoder(int colorDepth)
    : FColorDepth(colorDepth), FPixelSize(PixelSizeOfDepth(colorDepth)) {}

void TTargaRLEDecoder::BeginDecode() {
    FPending = 0;
    FPendingRun = false;
}

void TTargaRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const size_t p = static_cast<size_t>(FPixelSize);
    if (p == 0) return;
    const uint8_t* src = source;
    const uint8_t* const end = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    int32_t remaining = outputSize;
    while (remaining > 0) {
        if (FPending == 0) {
            if (src == end) break;
            const uint8_t header = *src;
            const bool run = (header & 0x80) != 0;
            if (run && static_cast<size_t>(end - src) < 1 + p) break;
            ++src;
            FPending = (header & 0x7F) + 1;
            FPendingRun = run;
            if (run) {
                std::memcpy(FRunPixel, src, p);
                src += p;
            }
        }
        int32_t n = std::min(FPending, remaining);
        if (FPendingRun) {
            switch (p) {
                case 1:
                    std::memset(dst, FRunPixel[0], static_cast<size_t>(n));
                    dst += n;
                    break;
                case 2: dst = FillPixels<2>(dst, FRunPixel, n); break;
                case 3: dst = FillPixels<3>(dst, FRunPixel, n); break;
                default: dst = FillPixels<4>(dst, FRunPixel, n); break;
            }
        } else {
            n = std::min(n, static_cast<int32_t>(static_cast<size_t>(end - src) / p));
            const size_t bytes = static_cast<size_t>(n) * p;
            std::memcpy(dst, src, bytes);
            src += bytes;
            dst += bytes;
        }
        FPending -= n;
        remaining -= n;
        if (n == 0) break;  // a raw packet whose values the input no longer holds
    }
    source = src;
}

void TTargaRLEDecoder::Encode(const uint8_t* source, uint8_t* dest, int32_t count, int32_t& bytesStored) {
    bytesStored = 0;
    const size_t p = static_cast<size_t>(FPixelSize);
    if (p == 0) return;
    auto same = [&](int32_t a, int32_t b) { return std::memcmp(source + a * p, source + b * p, p) == 0; };
    uint8_t* out = dest;
    int32_t pos = 0;
    while (pos < count) {
        const int32_t left = count - pos;
        if (left == 1 || !same(pos, pos + 1)) {
            // Raw values up to the first pixel that repeats in the next one. Without such a
            // pixel the last one is left for a packet of its own.
            int32_t d = left == 1 ? 1 : std::min(left - 1, 128);
            for (int32_t i = 1; i <= left - 2 && i < 128; ++i)
                if (same(pos + i, pos + i + 1)) {
                    d = i;
                    break;
                }
            *out++ = static_cast<uint8_t>(d - 1);
            std::memcpy(out, source + pos * p, static_cast<size_t>(d) * p);
            out += static_cast<size_t>(d) * p;
            pos += d;
        } else {
            int32_t s = 2;
            while (s < left && s < 128 && same(pos, pos + s)) ++s;
            *out++ = static_cast<uint8_t>(0x80 | (s - 1));
            std::memcpy(out, source + pos * p, p);
            out += p;
            pos += s;
        }
    }
    bytesStored = static_cast<int32_t>(out - dest);
}

// ---------------------------------------------------------------------------------------------
// TTargaGraphic

bool TTargaGraphic::CanReadStream(TStream& stream) {
    uint8_t bytes[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, bytes, HeaderSize)) return false;
    const TTargaHeader h = ParseHeader(bytes);
    return IsKnownImageType(h.ImageType) && h.ColorMapType <= 1 && IsKnownMapEntrySize(h.ColorMapEntrySize) &&
           IsKnownDepth(h.PixelDepth);
}

bool TTargaGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TTargaGraphic::CanReadStream);
}

bool TTargaGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    const TTargaHeader h = ReadHeader(stream);
    TImageProperties& p = Properties;
    p.Width = h.Width;
    p.Height = h.Height;
    p.Compression = IsRunLengthType(h.ImageType) ? ckRLE : ckNone;
    p.BitsPerSample = 8;
    if (IsGrayAlpha(h)) {
        p.PixelModel = pmGrayAlpha;
        p.SamplesPerPixel = 2;
        p.BitsPerPixel = 16;
        return true;
    }
    switch (h.PixelDepth) {
        case 8:
            p.PixelModel = IsGrayType(h.ImageType) ? pmGray : pmIndexed;
            p.SamplesPerPixel = 1;
            p.BitsPerPixel = 8;
            break;
        case 15:
        case 16:
            p.PixelModel = pmRGB;
            p.BitsPerSample = 5;
            p.SamplesPerPixel = 3;
            p.BitsPerPixel = 15;
            break;
        case 24:
            p.PixelModel = pmRGB;
            p.SamplesPerPixel = 3;
            p.BitsPerPixel = 24;
            break;
        case 32:
            p.PixelModel = pmRGBA;
            p.SamplesPerPixel = 4;
            p.BitsPerPixel = 32;
            break;
        default: p.PixelModel = pmUnknown; break;
    }
    return true;
}

void TTargaGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    ReadProperties(stream, 0);
    stream.SetPosition(start);

    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    const TTargaHeader h = ReadHeader(stream);
    const bool topDown = (h.Descriptor & 0x20) != 0;
    stream.Seek(h.IdLength, TSeekOrigin::soCurrent);

    // A depth outside 8, 15, 16, 24 and 32 leaves no samples per pixel, which the colour
    // manager refuses here.
    const bool grayAlpha = IsGrayAlpha(h);
    ColorConverter.SetSourceSampleCount(Properties.SamplesPerPixel);
    ColorConverter.SetTargetSampleCount(grayAlpha ? 4 : Properties.SamplesPerPixel);
    ColorConverter.SetSourceModel(Properties.PixelModel);
    ColorConverter.SetSourceFlags(0);
    ColorConverter.SetTargetModel(grayAlpha ? pmBGRA : pmBGR);
    ColorConverter.SetSourceSampleBits(Properties.BitsPerSample);
    ColorConverter.SetTargetSampleBits(Properties.BitsPerSample);

    if (!IsKnownImageType(h.ImageType)) GraphicErrorFmt(gesUnsupportedFeature, gesCompression, FormatWord);
    // Indices wider than a byte cannot address a palette; read as colours they would be noise.
    if (IsColorMappedType(h.ImageType) && h.PixelDepth != 8) GraphicErrorFmt(gesInvalidColorFormat, FormatWord);
    if (h.ImageType == 0) {
        // The file holds no image data: nothing to show, and nothing to allocate for.
        EndProgress();
        return;
    }

    SetPixelFormat(ColorConverter.TargetBitmapFormat());
    if (h.ColorMapType == 1 || IsGrayType(h.ImageType)) {
        const int entryBytes = ColorMapEntryBytes(h.ColorMapEntrySize);
        const int64_t mapBytes = h.ColorMapType == 1 ? int64_t{h.ColorMapLength} * entryBytes : 0;
        if (stream.Remaining() < mapBytes) RaiseReadError();
        if (IsGrayType(h.ImageType)) {
            // Grey levels need no map; one that is there anyway is passed over.
            stream.Seek(mapBytes, TSeekOrigin::soCurrent);
            if (!grayAlpha) SetPalette(ColorConverter.BuildGrayPalette(false));
        } else if (entryBytes == 0) {
            // Entries of no size hold no colours; a ramp at least shows the picture.
            SetPalette(ColorConverter.BuildGrayPalette(false));
        } else {
            std::vector<uint8_t> map(static_cast<size_t>(mapBytes));
            stream.ReadBuffer(map.data(), mapBytes);
            SetPalette(PaletteFromColorMap(map, h.ColorMapLength, entryBytes, h.ColorMapOrigin));
        }
    }

    const int32_t width = h.Width;
    const int32_t height = h.Height;
    const int pixelSize = PixelSizeOfDepth(h.PixelDepth);
    const int64_t rowSize = int64_t{width} * pixelSize;
    const bool runLength = IsRunLengthType(h.ImageType);
    // Never size the image beyond what the rest of the stream can fill: plain rows need all
    // their bytes, and a run-length packet of at least 1 + pixel size bytes yields at most
    // 128 pixels.
    const int64_t available = stream.Remaining();
    if (runLength ? int64_t{width} * height > (available / (1 + pixelSize) + 1) * 128
                  : rowSize * height > available)
        RaiseReadError();
    SetSize(width, height);

    EndProgress();
    StartProgress(gesTransfering);
    std::vector<uint8_t> buffer;
    std::unique_ptr<TTargaRLEDecoder> decoder;
    if (runLength) {
        buffer.resize(static_cast<size_t>(2 * rowSize));
        decoder = std::make_unique<TTargaRLEDecoder>(h.PixelDepth);
        decoder->BeginDecode();
    }
    // Rows of no pixels hold no bytes, and a bitmap of no width has no rows to visit.
    for (int32_t y = 0; width > 0 && y < height; ++y) {
        uint8_t* row = ScanLine(topDown ? y : height - 1 - y);
        if (runLength) {
            const int64_t got = stream.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
            const uint8_t* source = buffer.data();
            decoder->Decode(source, row, static_cast<int32_t>(got), width);
            // Go back to just after the last packet used, so that the next row's packets
            // that came along in the buffer are read again.
            stream.Seek(static_cast<int64_t>(source - buffer.data()) - got, TSeekOrigin::soCurrent);
        } else {
            stream.ReadBuffer(row, rowSize);
        }
        if (grayAlpha) WidenGrayAlpha(row, width);
        RowProgress(y, height);
    }
    if (decoder) decoder->EndDecode();
    EndProgress();
}

void TTargaGraphic::SaveToStream(TStream& stream) {
    ProgressArea = TRect{0, 0, Width(), 1};
    StartProgress(gesPreparing);

    // The file stores 1-byte indices and 5-5-5 words; shallower indices and 5-6-5 words are
    // written from a converted copy, so that saving never changes the image itself.
    const TBitmap* image = this;
    TBitmap converted;
    int pixelSize = 0;
    switch (PixelFormat()) {
        case pf1bit:
        case pf4bit:
            converted = *this;
            converted.SetPixelFormat(pf8bit);
            image = &converted;
            pixelSize = 1;
            break;
        case pf8bit: pixelSize = 1; break;
        case pf16bit:
            converted = *this;
            converted.SetPixelFormat(pf15bit);
            image = &converted;
            pixelSize = 2;
            break;
        case pf15bit: pixelSize = 2; break;
        case pf24bit: pixelSize = 3; break;
        case pf32bit:
        case pfDevice: pixelSize = 4; break;
        case pfCustom: break;
    }
    if (Empty() || pixelSize == 0) {
        EndProgress();
        return;
    }
    const int32_t width = image->Width();
    const int32_t height = image->Height();
    if (width > 0xFFFF || height > 0xFFFF) GraphicError(Format(SInvalidImageSize, width, height));

    const bool indexed = pixelSize == 1;
    uint8_t header[HeaderSize] = {};
    header[1] = indexed ? 1 : 0;
    header[2] = indexed ? 9 : 10;
    header[5] = 0x00;  // colour-map length 256, entries of 24 bits, also without a map
    header[6] = 0x01;
    header[7] = 24;
    header[12] = static_cast<uint8_t>(width);
    header[13] = static_cast<uint8_t>(width >> 8);
    header[14] = static_cast<uint8_t>(height);
    header[15] = static_cast<uint8_t>(height >> 8);
    header[16] = static_cast<uint8_t>(pixelSize * 8);
    header[17] = 0x20;  // row 0 is the top row and is written first
    stream.WriteBuffer(header, HeaderSize);

    if (indexed) {
        const TPalette& palette = image->Palette();
        uint8_t map[256 * 3] = {};
        for (int i = 0; i < palette.Count(); ++i) {
            map[3 * i] = palette[i].Blue;
            map[3 * i + 1] = palette[i].Green;
            map[3 * i + 2] = palette[i].Red;
        }
        stream.WriteBuffer(map, sizeof map);
    }

    EndProgress();
    StartProgress(gesTransfering);
    const size_t rowSize = static_cast<size_t>(width) * static_cast<size_t>(pixelSize);
    std::vector<uint8_t> buffer(2 * rowSize);
    TTargaRLEDecoder coder(pixelSize * 8);
    for (int32_t y = 0; y < height; ++y) {
        int32_t stored = 0;
        coder.Encode(image->ScanLine(y), buffer.data(), width, stored);
        stream.WriteBuffer(buffer.data(), stored);
        Progress(this, psRunning, 0, false, ProgressArea, std::string());
        ProgressArea.Top += 1;
        ProgressArea.Bottom += 1;
    }
    EndProgress();
}
