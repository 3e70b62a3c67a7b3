#include "sgi.h"

#include <algorithm>
#include <cstring>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TSGIGraphic::Class = {
    "TSGIGraphic", [] { return std::unique_ptr<TGraphic>(new TSGIGraphic); }, &TSGIGraphic::CanReadStream};

namespace {

// The word the readers' messages put in for this format.
constexpr const char* FormatWord = "sgi, bw or rgb(a)";

constexpr int HeaderSize = 512;
constexpr uint16_t SGIMagic = 474;

struct TSGIHeader {
    uint16_t Magic;
    uint8_t Storage;         // 1: run-length encoded, anything else: uncompressed
    uint8_t BytesPerSample;  // 1 or 2 in files that follow the format
    uint16_t Dimension;
    uint16_t XSize;
    uint16_t YSize;
    uint8_t Channels;  // the low byte of the z size
};

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

TSGIHeader ParseHeader(const uint8_t* b) {
    return TSGIHeader{BigEndian16(b), b[2], b[3], BigEndian16(b + 4), BigEndian16(b + 6), BigEndian16(b + 8), b[11]};
}

// Reads count 32-bit big-endian numbers. The stream must hold them all: a table cut short
// raises the read error before anything is allocated for it.
TCardinalArray ReadTable(TStream& stream, size_t count) {
    if (stream.Remaining() < static_cast<int64_t>(count * 4)) throw EReadError(SReadError);
    TCardinalArray table(count);
    if (count > 0) {
        stream.ReadBuffer(table.data(), static_cast<int64_t>(count * 4));
        ByteSwap32Array(table.data(), count);
    }
    return table;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TSGIRLEDecoder

TSGIRLEDecoder::TSGIRLEDecoder(int sampleSize) : FSampleSize(sampleSize) {}

void TSGIRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const size_t s = FSampleSize == 8 ? 1 : FSampleSize == 16 ? 2 : 0;
    if (s == 0) return;
    const uint8_t* src = source;
    const uint8_t* const end = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    uint8_t* const stop = dst + static_cast<size_t>(std::max(outputSize, 0)) * s;
    while (dst < stop && static_cast<size_t>(end - src) >= s) {
        // The count word is big-endian: its low byte comes last.
        const uint8_t code = src[s - 1];
        src += s;
        size_t n = std::min<size_t>(code & 0x7F, static_cast<size_t>(stop - dst) / s);
        if (n == 0) break;
        if (code & 0x80) {
            n = std::min(n, static_cast<size_t>(end - src) / s);
            if (n == 0) break;
            std::memcpy(dst, src, n * s);
            src += n * s;
            dst += n * s;
        } else {
            if (static_cast<size_t>(end - src) < s) break;
            if (s == 1) {
                std::memset(dst, *src, n);
                dst += n;
            } else {
                for (size_t i = 0; i < n; ++i, dst += 2) std::memcpy(dst, src, 2);
            }
            src += s;
        }
    }
    source = src;
    dest = dst;
}

// ---------------------------------------------------------------------------------------------
// TSGIGraphic

bool TSGIGraphic::CanReadStream(TStream& stream) {
    uint8_t bytes[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, bytes, HeaderSize)) return false;
    const TSGIHeader h = ParseHeader(bytes);
    return h.Magic == SGIMagic && (h.BytesPerSample == 1 || h.BytesPerSample == 2) && h.Dimension >= 1 &&
           h.Dimension <= 3;
}

bool TSGIGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TSGIGraphic::CanReadStream);
}

bool TSGIGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    const TSGIHeader h = ParseHeader(bytes);
    TImageProperties& p = Properties;
    p.Options = imBigEndian;
    p.BitsPerSample = static_cast<uint8_t>(h.BytesPerSample * 8);
    p.Width = h.XSize;
    p.Height = h.YSize;
    p.SamplesPerPixel = h.Channels;
    p.PixelModel = h.Channels == 3 ? pmRGB : h.Channels == 4 ? pmRGBA : pmIndexed;
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    p.Compression = h.Storage == 1 ? ckRLE : ckNone;
    BytesPerSample = h.BytesPerSample;
    return h.Magic == SGIMagic;
}

void TSGIGraphic::EndPhase() { Progress(this, psEnding, 100, true, ProgressArea, std::string()); }

void TSGIGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    LoadStream = &stream;
    StartOffset = static_cast<uint32_t>(stream.Position());
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);

    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    try {
        Transfer();
    } catch (...) {
        FinishLoad();
        throw;
    }
    FinishLoad();
}

void TSGIGraphic::FinishLoad() {
    EndPhase();
    RowStarts = TCardinalArray();
    RowLengths = TCardinalArray();
    Packed = std::vector<uint8_t>();
    Decoder.reset();
    LoadStream = nullptr;
}

void TSGIGraphic::Transfer() {
    TStream& stream = *LoadStream;
    stream.SetPosition(int64_t{StartOffset} + HeaderSize);
    const TImageProperties& p = Properties;
    const int32_t width = p.Width, height = p.Height;
    const int channels = p.SamplesPerPixel;
    if (p.Compression == ckRLE) {
        const size_t entries = static_cast<size_t>(height) * channels;
        RowStarts = ReadTable(stream, entries);
        RowLengths = ReadTable(stream, entries);
        Decoder = std::make_unique<TSGIRLEDecoder>(BytesPerSample * 8);
    }

    // The file's own depth goes to the colour manager, which refuses anything but 1 to 16 bits
    // and 1 to 4 channels. Other counts than three or four show the first channel as grey: the
    // bitmap then holds that one sample per pixel, also for two channels (grey and alpha).
    const bool color = p.PixelModel == pmRGB || p.PixelModel == pmRGBA;
    ColorConverter.SetSourceSampleBits(BytesPerSample * 8);
    ColorConverter.SetTargetSampleBits(8);
    ColorConverter.SetSourceSampleCount(channels);
    ColorConverter.SetTargetSampleCount(color ? channels : 1);
    ColorConverter.SetSourceModel(p.PixelModel);
    ColorConverter.SetTargetModel(p.PixelModel == pmRGB ? pmBGR : p.PixelModel == pmRGBA ? pmBGRA : pmIndexed);
    ColorConverter.SetSourceFlags(cfSwapBytes);
    SetPixelFormat(ColorConverter.TargetBitmapFormat());
    SetSize(width, height);

    EndPhase();
    StartProgress(gesTransfering);
    RowBytes = static_cast<size_t>(width) * BytesPerSample;
    if (color) {
        std::vector<uint8_t> planes(RowBytes * channels);
        const void* sources[4] = {};
        for (int c = 0; c < channels; ++c) sources[c] = planes.data() + c * RowBytes;
        for (int32_t y = 0; y < height; ++y) {
            for (int c = 0; c < channels; ++c) ReadChannelRow(y, c, planes.data() + c * RowBytes);
            ColorConverter.ConvertLine(std::span<const void* const>(sources, static_cast<size_t>(channels)),
                                       ScanLine(height - 1 - y), width, 0xFF);
            RowProgress(y, height);
        }
        return;
    }
    SetPalette(ColorConverter.BuildGrayPalette(false));
    std::vector<uint8_t> wide(BytesPerSample == 2 ? RowBytes : 0);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = ScanLine(height - 1 - y);
        if (wide.empty()) {
            ReadChannelRow(y, 0, row);
        } else {
            ReadChannelRow(y, 0, wide.data());
            // Big-endian samples: the high byte comes first.
            for (int32_t x = 0; x < width; ++x) row[x] = wide[2 * static_cast<size_t>(x)];
        }
        RowProgress(y, height);
    }
}

void TSGIGraphic::ReadChannelRow(int32_t y, int c, uint8_t* dest) {
    TStream& stream = *LoadStream;
    const size_t index = static_cast<size_t>(c) * Properties.Height + static_cast<size_t>(y);
    size_t got = 0;
    if (!Decoder) {
        stream.SetPosition(int64_t{StartOffset} + HeaderSize + static_cast<int64_t>(index * RowBytes));
        got = static_cast<size_t>(stream.Read(dest, static_cast<int64_t>(RowBytes)));
    } else {
        stream.SetPosition(int64_t{StartOffset} + RowStarts[index]);
        // Every packet yields at least one sample and costs at most two, so a row never needs
        // more than twice its size and a final count; longer claims would only be read in vain.
        const int64_t wanted = std::min({int64_t{RowLengths[index]} * BytesPerSample,
                                         static_cast<int64_t>(2 * RowBytes) + BytesPerSample, stream.Remaining()});
        if (Packed.size() < static_cast<size_t>(wanted)) Packed.resize(static_cast<size_t>(wanted));
        const int64_t read = wanted > 0 ? stream.Read(Packed.data(), wanted) : 0;
        const uint8_t* source = Packed.data();
        uint8_t* target = dest;
        Decoder->Decode(source, target, static_cast<int32_t>(read), Properties.Width);
        got = static_cast<size_t>(target - dest);
    }
    if (got < RowBytes) std::memset(dest + got, 0, RowBytes - got);
}
