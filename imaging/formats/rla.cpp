#include "rla.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TRLAGraphic::Class = {
    "TRLAGraphic", [] { return std::unique_ptr<TGraphic>(new TRLAGraphic); }, &TRLAGraphic::CanReadStream};

namespace {

constexpr int HeaderSize = 740;
constexpr uint16_t Revision = 0xFFFE;

struct TRLAHeader {
    int16_t Left, Right, Bottom, Top;  // the active window
    uint8_t ColorChannels;             // the low byte of the count
    int16_t MatteChannels;
    uint16_t Revision;
    std::string Gamma;
    std::string ChannelType;  // lower case
    uint8_t ChannelBits;      // the low byte of the field
};

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
int16_t Signed16(const uint8_t* p) { return static_cast<int16_t>(BigEndian16(p)); }

// A text field ends at its first zero byte or at its full length.
std::string Text(const uint8_t* p, size_t size) {
    const auto* s = reinterpret_cast<const char*>(p);
    return std::string(s, static_cast<size_t>(std::find(s, s + size, '\0') - s));
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

TRLAHeader ParseHeader(const uint8_t* b) {
    return TRLAHeader{Signed16(b + 8),       Signed16(b + 10),      Signed16(b + 12),
                      Signed16(b + 14),      b[21],                 Signed16(b + 22),
                      BigEndian16(b + 26),   Text(b + 28, 16),      Lower(Text(b + 580, 32)),
                      b[659]};
}

// The gamma text as a number: a decimal with optional sign, fraction and exponent, blanks
// around it allowed. Anything else is no number.
bool ParseGamma(const std::string& text, float& value) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    const size_t last = text.find_last_not_of(' ');
    const char* begin = text.data() + first;
    const char* const end = text.data() + last + 1;
    bool negative = false;
    if (*begin == '+' || *begin == '-') negative = *begin++ == '-';
    if (begin == end || !(std::isdigit(static_cast<unsigned char>(*begin)) || *begin == '.')) return false;
    double number = 0;
    const auto [stop, error] = std::from_chars(begin, end, number, std::chars_format::general);
    if (error != std::errc() || stop != end || !std::isfinite(number)) return false;
    value = static_cast<float>(negative ? -number : number);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TRLADecoder

void TRLADecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const uint8_t* src = source;
    const uint8_t* const end = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    uint8_t* const stop = dst + std::max(outputSize, 0);
    while (dst < stop && src < end) {
        const int count = static_cast<int8_t>(*src++);
        if (count >= 0) {
            if (src == end) break;
            const size_t n = std::min(static_cast<size_t>(count) + 1, static_cast<size_t>(stop - dst));
            std::memset(dst, *src++, n);
            dst += n;
        } else {
            const size_t n = std::min({static_cast<size_t>(-count), static_cast<size_t>(stop - dst),
                                       static_cast<size_t>(end - src)});
            std::memcpy(dst, src, n);
            src += n;
            dst += n;
        }
    }
    source = src;
    dest = dst;
}

// ---------------------------------------------------------------------------------------------
// TRLAGraphic

bool TRLAGraphic::CanReadStream(TStream& stream) {
    uint8_t bytes[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, bytes, HeaderSize)) return false;
    const TRLAHeader h = ParseHeader(bytes);
    return h.Revision == Revision && (h.ChannelType == "rgb" || h.ChannelType == "xyz");
}

bool TRLAGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TRLAGraphic::CanReadStream);
}

bool TRLAGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    const TRLAHeader h = ParseHeader(bytes);
    TImageProperties& p = Properties;
    p.Options = imBigEndian;
    p.SamplesPerPixel = static_cast<uint8_t>(h.ColorChannels + (h.MatteChannels == 1 ? 1 : 0));
    p.BitsPerSample = h.ChannelBits;
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    if (h.ChannelType == "rgb")
        p.PixelModel = h.MatteChannels > 0 ? pmRGBA : pmRGB;
    // Writers that do not know the gamma leave "0.0": no gamma is not a gamma of zero, which
    // would otherwise brighten the picture by the display gamma alone.
    if (float gamma = 1.0f; ParseGamma(h.Gamma, gamma) && gamma > 0) p.Gamma = gamma;
    p.Compression = ckRLE;
    p.Width = int32_t{h.Right} - h.Left + 1;
    p.Height = std::abs(int32_t{h.Bottom} - h.Top) + 1;
    p.BottomUp = h.Bottom < h.Top;
    return h.ChannelType != "xyz";
}

void TRLAGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    StartOffset = static_cast<uint32_t>(stream.Position());
    if (!ReadProperties(stream, 0)) return;
    const TImageProperties& p = Properties;
    const int32_t width = p.Width, height = p.Height;
    ProgressArea = TRect{0, 0, width, 1};
    StartProgress(gesTransfering);

    // The file's depth goes to the colour manager, which refuses anything but 1 to 16 bits;
    // wider channels reach it narrowed to 8 bits.
    const int bits = p.BitsPerSample;
    const bool alpha = p.PixelModel == pmRGBA;
    ColorConverter.SetSourceSampleCount(p.SamplesPerPixel);
    ColorConverter.SetTargetSampleCount(p.SamplesPerPixel);
    ColorConverter.SetSourceSampleBits(bits);
    ColorConverter.SetTargetSampleBits(bits < 9 ? bits : 8);
    if (bits > 8) ColorConverter.SetSourceSampleBits(8);
    ColorConverter.SetSourceModel(p.PixelModel);
    ColorConverter.SetTargetModel(alpha ? pmBGRA : pmBGR);
    // Rows are converted from three colour planes and, with alpha, the matte; a channel count
    // that does not give the bitmap that many samples per pixel would have rows written past
    // their pixels.
    if ((p.PixelModel == pmRGB && p.SamplesPerPixel != 3) || (alpha && p.SamplesPerPixel != 4))
        throw EColorConversionError(gesInvalidPixelScheme);
    SetPixelFormat(ColorConverter.TargetBitmapFormat());
    if (p.Gamma != 1.0f) {
        ColorConverter.SetGammaPair(p.Gamma, 2.2f);
        ColorConverter.SetTargetFlags(ColorConverter.TargetFlags() | cfGamma);
        Properties.Options |= imUseGamma;
    }

    // The offset table comes first, so that a file too short to hold it is refused before a
    // bitmap of its claimed size is made.
    if (stream.Remaining() < int64_t{height} * 4) throw EReadError(SReadError);
    TCardinalArray offsets(static_cast<size_t>(height));
    stream.ReadBuffer(offsets.data(), int64_t{height} * 4);
    ByteSwap32Array(offsets.data(), offsets.size());
    SetSize(width, height);

    const int channels = alpha ? 4 : 3;
    const size_t planeBytes = static_cast<size_t>(std::max(width, 0));
    const size_t sampleBytes = bits > 8 ? 2 : 1;
    const size_t channelBytes = planeBytes * sampleBytes;
    std::vector<uint8_t> planes(planeBytes * channels);
    std::vector<uint8_t> wide(sampleBytes == 2 ? channelBytes : 0);
    std::vector<uint8_t> packed;
    const void* sources[4] = {};
    for (int c = 0; c < channels; ++c) sources[c] = planes.data() + c * planeBytes;
    TRLADecoder decoder;
    for (int32_t y = 0; y < height; ++y) {
        stream.SetPosition(int64_t{StartOffset} + offsets[static_cast<size_t>(y)]);
        for (int c = 0; c < channels; ++c) {
            uint8_t* plane = planes.data() + c * planeBytes;
            uint8_t* target = wide.empty() ? plane : wide.data();
            uint8_t countBytes[2];
            stream.ReadBuffer(countBytes, 2);
            const int64_t count = BigEndian16(countBytes);
            // A packet costs at most two bytes for each byte it yields: more is never needed.
            const int64_t kept = std::min(count, static_cast<int64_t>(2 * channelBytes));
            if (packed.size() < static_cast<size_t>(kept)) packed.resize(static_cast<size_t>(kept));
            const int64_t got = kept > 0 ? stream.Read(packed.data(), kept) : 0;
            if (count > kept) stream.Seek(count - kept, TSeekOrigin::soCurrent);
            const uint8_t* source = packed.data();
            uint8_t* dest = target;
            decoder.Decode(source, dest, static_cast<int32_t>(got), static_cast<int32_t>(channelBytes));
            // What the channel does not supply shows as zeros, the colour of a fresh bitmap.
            std::fill(dest, target + channelBytes, uint8_t{0});
            if (!wide.empty()) {
                const uint8_t* high = wide.data();
                const uint8_t* low = high + planeBytes;
                const int shift = bits - 8;
                for (size_t x = 0; x < planeBytes; ++x)
                    plane[x] = static_cast<uint8_t>(((high[x] << 8) | low[x]) >> shift);
            }
        }
        ColorConverter.ConvertLine(std::span<const void* const>(sources, static_cast<size_t>(channels)),
                                   ScanLine(p.BottomUp ? height - 1 - y : y), width, 0xFF);
        RowProgress(y, height);
    }
    EndProgress();
}
