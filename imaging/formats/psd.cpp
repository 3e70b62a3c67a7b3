#include "psd.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "decoders.h"
#include "exceptions.h"
#include "streams.h"

const TGraphicClass TPSDGraphic::Class = {
    "TPSDGraphic", [] { return std::unique_ptr<TGraphic>(new TPSDGraphic); }, &TPSDGraphic::CanReadStream};

namespace {

// The word the readers' messages put in for this format.
constexpr const char* FormatWord = "PSD or PDD";

constexpr int64_t HeaderSize = 26;
// An indexed document's palette: 256 red bytes, then 256 green and 256 blue bytes.
constexpr uint32_t PaletteBytes = 768;
// The most output PackBits gives per input byte: a control byte and its value make 128.
constexpr uint64_t PackBitsMostPerByte = 64;
// Rows are read and converted in bands of about this many bytes.
constexpr size_t BandBytes = 256 * 1024;

enum TColorMode : uint16_t {
    cmBitmap = 0,
    cmGrayscale = 1,
    cmIndexed = 2,
    cmRGB = 3,
    cmCMYK = 4,
    cmMultichannel = 7,
    cmDuotone = 8,
    cmLab = 9,
};

uint16_t Big16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Big32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

struct TPSDHeader {
    uint8_t Signature[4];
    uint16_t Version;
    uint16_t Channels;
    int32_t Height;
    int32_t Width;
    uint16_t Depth;
    uint16_t Mode;
};

TPSDHeader ParseHeader(const uint8_t* b) {
    TPSDHeader h{};
    std::memcpy(h.Signature, b, 4);
    h.Version = Big16(b + 4);
    h.Channels = Big16(b + 12);
    h.Height = static_cast<int32_t>(Big32(b + 14));
    h.Width = static_cast<int32_t>(Big32(b + 18));
    h.Depth = Big16(b + 22);
    h.Mode = Big16(b + 24);
    return h;
}

TPSDHeader ReadHeader(TStream& stream) {
    uint8_t bytes[HeaderSize];
    stream.ReadBuffer(bytes, HeaderSize);
    return ParseHeader(bytes);
}

uint32_t ReadLength(TStream& stream) {
    uint8_t bytes[4];
    stream.ReadBuffer(bytes, 4);
    return Big32(bytes);
}

void SkipSection(TStream& stream) { stream.Seek(ReadLength(stream), TSeekOrigin::soCurrent); }

TPixelModel ModelOf(uint16_t mode, uint16_t channels) {
    switch (mode) {
        case cmBitmap:
        case cmGrayscale:
        case cmDuotone: return pmGray;
        case cmIndexed: return pmIndexed;
        case cmRGB: return channels == 3 ? pmRGB : pmRGBA;
        case cmCMYK: return pmCMYK;
        case cmMultichannel:
            // Its channels are independent grey plates: one or two of them make no colour
            // image, and reading them as RGB would need planes the file does not have.
            if (channels < 3) return pmGray;
            return channels == 3 ? pmRGB : pmRGBA;
        case cmLab: return pmCIELab;
        default: return pmUnknown;
    }
}

// Channels the pixels are made of: the colour components, and alpha for RGBA.
int PlanesOf(TPixelModel model) {
    switch (model) {
        case pmRGB:
        case pmCIELab: return 3;
        case pmRGBA:
        case pmCMYK: return 4;
        default: return 1;
    }
}

TPixelModel TargetModelOf(TPixelModel model) {
    switch (model) {
        case pmIndexed: return pmIndexed;
        case pmGray: return pmGray;
        case pmRGBA: return pmBGRA;
        default: return pmBGR;
    }
}

[[noreturn]] void RaiseReadError() { throw EReadError(SReadError); }

// Sum of count big-endian 16-bit row byte counts.
uint64_t SumOfRowCounts(const uint8_t* rowCounts, size_t count) {
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) total += Big16(rowCounts + 2 * i);
    return total;
}

// Decodes rows of one channel, each from its own packed bytes as their counts give them, into
// rows of rowBytes at dest; what a row does not produce stays zero, and rows whose bytes the
// stream no longer holds stay zero as well. Answers the packed bytes the rows take in the file.
uint64_t DecodePackedRows(TStream& stream, const uint8_t* rowCounts, size_t rows, size_t rowBytes, uint8_t* dest,
                          std::vector<uint8_t>& packed) {
    const uint64_t total = SumOfRowCounts(rowCounts, rows);
    packed.resize(static_cast<size_t>(std::min(total, uint64_t(stream.Remaining()))));
    packed.resize(static_cast<size_t>(stream.Read(packed.data(), static_cast<int64_t>(packed.size()))));
    std::fill(dest, dest + rows * rowBytes, 0);
    TPackbitsRLEDecoder decoder;
    size_t at = 0;
    for (size_t r = 0; r < rows; ++r) {
        const size_t count = Big16(rowCounts + 2 * r);
        const size_t from = std::min(at, packed.size());
        const uint8_t* source = packed.data() + from;
        uint8_t* row = dest + r * rowBytes;
        decoder.Decode(source, row, static_cast<int32_t>(std::min(count, packed.size() - from)),
                       static_cast<int32_t>(rowBytes));
        at += count;
    }
    return total;
}

}  // namespace

bool TPSDGraphic::CanReadStream(TStream& stream) {
    uint8_t bytes[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, bytes, HeaderSize)) return false;
    for (int i = 0; i < 4; ++i)
        if ((bytes[i] & 0xDF) != ("8BPS"[i] & 0xDF)) return false;
    return Big16(bytes + 4) == 1;
}

bool TPSDGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPSDGraphic::CanReadStream);
}

bool TPSDGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    const TPSDHeader h = ReadHeader(stream);
    if (std::memcmp(h.Signature, "8BPS", 4) != 0) return false;
    TImageProperties& p = Properties;
    p.Width = h.Width;
    p.Height = h.Height;
    // Depths beyond a byte must not pass for small ones: 264 bits is not 8.
    p.BitsPerSample = static_cast<uint8_t>(std::min<int>(h.Depth, 255));
    p.SamplesPerPixel = static_cast<uint8_t>(std::min<int>(h.Channels, 4));
    p.BitsPerPixel = static_cast<uint8_t>(std::min(p.SamplesPerPixel * p.BitsPerSample, 255));
    p.Options = imBigEndian;
    if (h.Mode == cmBitmap) p.Options |= imMinIsWhite;
    p.ChannelCount = static_cast<uint8_t>(h.Channels);
    p.PixelModel = ModelOf(h.Mode, h.Channels);
    SkipSection(stream);  // colour-mode data
    SkipSection(stream);  // image resources
    SkipSection(stream);  // layers and masks
    uint8_t compression[2];
    stream.ReadBuffer(compression, 2);
    p.Compression = Big16(compression) == 1 ? ckPackBits : ckNone;
    return true;
}

void TPSDGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);
    stream.SetPosition(start);
    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    const TPSDHeader h = ReadHeader(stream);

    const TPixelModel model = Properties.PixelModel;
    // Grey and indexed images are read from their first channel alone; what other channels
    // they have (alpha, spot colours) does not change how that one is shown.
    const bool singleChannel = model == pmIndexed || model == pmGray;
    const int samples = singleChannel ? std::min<int>(h.Channels, 1) : Properties.SamplesPerPixel;
    TConversionFlags sourceFlags = cfSwapBytes;
    if (model == pmCIELab) sourceFlags |= cfLabByteScale | cfLabOffsetChroma;
    ColorConverter.SetSourceFlags(sourceFlags);
    ColorConverter.SetTargetFlags(0);
    ColorConverter.SetSourceSampleBits(h.Depth);
    ColorConverter.SetTargetSampleBits(h.Depth == 16 ? 8 : h.Depth);
    ColorConverter.SetSourceSampleCount(samples);
    // CMYK and L*a*b* become three colour components; a fourth channel is not alpha to them.
    ColorConverter.SetTargetSampleCount(model == pmCMYK || model == pmCIELab ? 3 : samples);
    ColorConverter.SetSourceModel(model);
    if (model != pmUnknown) ColorConverter.SetTargetModel(TargetModelOf(model));
    SetPixelFormat(ColorConverter.TargetBitmapFormat());

    if (model != pmUnknown) {
        if (h.Channels < PlanesOf(model)) throw EColorConversionError(gesInvalidPixelScheme);
        // Depths the converters do not handle would leave the picture black, or, for a single
        // channel of 9 to 15 bits, write rows wider than the bitmap's.
        if (singleChannel && h.Depth > 8 && h.Depth != 16) throw EColorConversionError(gesInvalidSampleDepth);
        if (!singleChannel && h.Depth != 8 && h.Depth != 16) throw EColorConversionError(gesConversionUnsupported);
    }
    SetSize(h.Width, h.Height);

    const uint32_t colorDataLength = ReadLength(stream);
    if (model == pmIndexed) {
        // Only 768 bytes make a palette; data beyond them is passed over.
        uint8_t data[PaletteBytes] = {};
        const uint32_t used = std::min(colorDataLength, PaletteBytes);
        stream.ReadBuffer(data, used);
        stream.Seek(colorDataLength - used, TSeekOrigin::soCurrent);
        const uint32_t count = used / 3;
        SetPalette(ColorConverter.BuildColorPalette({data, data + count, data + 2 * count}, rpPlanar8,
                                                    static_cast<int>(count), false));
    } else {
        // Duotone documents keep their inks here; they are shown as grey.
        if (model == pmGray) SetPalette(ColorConverter.BuildGrayPalette((Properties.Options & imMinIsWhite) != 0));
        stream.Seek(colorDataLength, TSeekOrigin::soCurrent);
    }
    SkipSection(stream);  // image resources
    // The layers, then the compression word that ReadProperties has already taken in.
    stream.Seek(int64_t{ReadLength(stream)} + 2, TSeekOrigin::soCurrent);

    // PackBits data starts with the byte count of every row of every channel, channel by
    // channel.
    std::vector<uint8_t> rowCounts;
    const size_t rowCountEntries = static_cast<size_t>(h.Height) * h.Channels;
    if (Properties.Compression == ckPackBits) {
        if (static_cast<int64_t>(rowCountEntries) * 2 > stream.Remaining()) RaiseReadError();
        rowCounts.resize(rowCountEntries * 2);
        stream.ReadBuffer(rowCounts.data(), static_cast<int64_t>(rowCounts.size()));
    }
    EndProgress();

    try {
        if (model != pmUnknown)
            ReadImageData(stream, h.Depth, h.Channels, rowCounts.empty() ? nullptr : rowCounts.data());
    } catch (...) {
        EndProgress();
        throw;
    }
    EndProgress();
}

void TPSDGraphic::ReadImageData(TStream& stream, int32_t depth, int channels, const uint8_t* rowCounts) {
    const TPixelModel model = Properties.PixelModel;
    const bool colour = model != pmIndexed && model != pmGray;
    const int planes = PlanesOf(model);
    const int32_t width = Width(), height = Height();
    // No pixels, nothing to read: a band for a width without rows would be a claim the data
    // never had to back.
    if (width <= 0 || height <= 0) return;
    // Rows hold their samples at the file's depth: bitmap rows a bit per pixel, 16-bit rows
    // two bytes. They are converted into the bitmap's rows, never copied into them at a size
    // of their own.
    const size_t rowBytes = static_cast<size_t>((uint64_t(width) * uint64_t(depth) + 7) / 8);
    if (rowBytes > uint64_t(MaxBitmapBytes)) throw EOutOfResources(Format(SImageTooLarge, width, height));
    const uint64_t planeBytes = uint64_t(rowBytes) * uint64_t(height);
    const int64_t dataStart = stream.Position();

    if (colour) StartProgress(gesLoadingData);
    if (rowCounts == nullptr) {
        // Raw rows must be there; a colour image's channels all, also those not shown.
        if (uint64_t(colour ? channels : 1) * planeBytes > uint64_t(stream.Remaining())) RaiseReadError();
    } else {
        // An image that its packed bytes could not fill even packed as tightly as PackBits
        // packs claims a size its data does not have.
        const uint64_t packed = SumOfRowCounts(rowCounts, size_t(planes) * size_t(height));
        const uint64_t available = std::min(packed, uint64_t(stream.Remaining()));
        if (planeBytes * uint64_t(planes) > available * PackBitsMostPerByte) RaiseReadError();
    }
    if (colour) EndProgress();
    StartProgress(gesTransfering);

    // The planes are read a band of rows at a time: memory stays small whatever the size of
    // the image, and each band is converted while it is still in the cache.
    const size_t bandRows = std::clamp<size_t>(rowBytes == 0 ? 1 : BandBytes / (rowBytes * size_t(planes)), 1,
                                               static_cast<size_t>(std::max(height, 1)));
    const size_t bandPlaneBytes = bandRows * rowBytes;
    // Every byte of a band is read or decoded before it is used.
    const auto band = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(bandPlaneBytes * size_t(planes), 1));
    std::vector<uint8_t> packed;
    // Where the next row of each plane starts; channels follow one another.
    uint64_t next[4] = {};
    for (int k = 0; k < planes; ++k)
        next[k] = uint64_t(dataStart) +
                  (rowCounts ? SumOfRowCounts(rowCounts, size_t(k) * size_t(height)) : uint64_t(k) * planeBytes);

    for (int32_t y0 = 0; y0 < height;) {
        const size_t rows = std::min(bandRows, static_cast<size_t>(height - y0));
        for (int k = 0; k < planes; ++k) {
            uint8_t* dest = band.get() + size_t(k) * bandPlaneBytes;
            stream.SetPosition(static_cast<int64_t>(next[k]));
            if (rowCounts == nullptr) {
                stream.ReadBuffer(dest, static_cast<int64_t>(rows * rowBytes));
                next[k] += rows * rowBytes;
            } else {
                next[k] += DecodePackedRows(stream, rowCounts + 2 * (size_t(k) * size_t(height) + size_t(y0)), rows,
                                            rowBytes, dest, packed);
            }
        }
        // The file stores ink as 255 minus its amount; the converter expects the amount.
        if (model == pmCMYK)
            for (int k = 0; k < planes; ++k)
                for (size_t i = 0; i < rows * rowBytes; ++i) band[size_t(k) * bandPlaneBytes + i] ^= 0xFF;
        for (size_t r = 0; r < rows; ++r, ++y0) {
            const void* sources[4] = {};
            for (int k = 0; k < planes; ++k) sources[k] = band.get() + size_t(k) * bandPlaneBytes + r * rowBytes;
            ColorConverter.ConvertLine(std::span<const void* const>(sources, size_t(planes)), ScanLine(y0), width,
                                       0xFF);
            RowProgress(y0, height);
        }
    }
}
