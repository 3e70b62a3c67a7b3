#include "psp.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TPSPGraphic::Class = {
    "TPSPGraphic", [] { return std::unique_ptr<TGraphic>(new TPSPGraphic); }, &TPSPGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "PSP";

constexpr int FileHeaderSize = 36;
constexpr char Signature[] = "Paint Shop Pro Image File";
constexpr size_t SignatureLength = sizeof Signature - 1;
constexpr uint8_t BlockMarker[4] = {'~', 'B', 'K', 0};
constexpr int AttributesSize = 42;
constexpr int LayerInfoSize = 115;
constexpr int Version3LayerNameSize = 256;

enum : uint16_t { bidImageAttributes = 0, bidPalette = 2, bidLayerBank = 3, bidLayer = 4, bidChannel = 5 };
enum : uint16_t { pcNone = 0, pcRunLength = 1, pcDeflate = 2 };
// Channel types; the composite channel is the only one of indexed and grey images and the
// transparency of RGB images.
enum : uint16_t { ctComposite = 0, ctRed = 1, ctGreen = 2, ctBlue = 3, ChannelKinds = 4 };

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t DWord(const uint8_t* p) { return uint32_t{Word(p)} | uint32_t{Word(p + 2)} << 16; }

uint16_t ReadWord(TStream& stream) {
    uint8_t b[2];
    stream.ReadBuffer(b, 2);
    return Word(b);
}

uint32_t ReadDWord(TStream& stream) {
    uint8_t b[4];
    stream.ReadBuffer(b, 4);
    return DWord(b);
}

bool IsFileHeader(const uint8_t* header) {
    for (size_t i = 0; i < SignatureLength; ++i) {
        const auto lower = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        if (lower(header[i]) != lower(static_cast<uint8_t>(Signature[i]))) return false;
    }
    return Word(header + 32) >= 3;
}

// Resolutions beyond what a float holds are kept as the largest one; one that is not a number
// says nothing.
float ResolutionOf(double value) {
    if (!(value == value)) return 0;
    return static_cast<float>(std::clamp(value, double{-FLT_MAX}, double{FLT_MAX}));
}

// Bytes of one channel row at the image's depth (8 for each channel of an RGB image).
int64_t RowSizeOf(int bitsPerSample, int32_t width) {
    switch (bitsPerSample) {
        case 1: return (int64_t{width} + 7) / 8;
        case 4: return int64_t{width} / 2 + 1;
        default: return width;
    }
}

// No channel data gives more bytes than deflate's 1032 for one.
constexpr int64_t MostExpansion = 1032;

// The most bytes `packed` compressed bytes can give: a run of 127 bytes takes two. Channels
// are never given room beyond that, so a made-up length costs no memory that the data cannot
// fill.
int64_t MostDecodedBytes(uint16_t compression, int64_t packed) {
    switch (compression) {
        case pcRunLength: return (packed + 1) / 2 * 127;
        case pcDeflate: return packed * MostExpansion;
        default: return packed;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TPSPRLEDecoder

void TPSPRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const uint8_t* src = source;
    const uint8_t* const srcEnd = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    uint8_t* const dstEnd = dst + std::max(outputSize, 0);
    while (src < srcEnd && dst < dstEnd) {
        const uint8_t b = *src++;
        if (b < 128) {
            const size_t there = std::min(size_t{b}, static_cast<size_t>(srcEnd - src));
            const size_t n = std::min(there, static_cast<size_t>(dstEnd - dst));
            std::memcpy(dst, src, n);
            src += there;
            dst += n;
        } else {
            if (src == srcEnd) break;
            const size_t n = std::min(size_t{b} - 128, static_cast<size_t>(dstEnd - dst));
            std::memset(dst, *src++, n);
            dst += n;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TPSPGraphic

bool TPSPGraphic::CanReadStream(TStream& stream) {
    uint8_t header[FileHeaderSize];
    return PeekSignature(stream, FileHeaderSize, header, FileHeaderSize) && IsFileHeader(header);
}

bool TPSPGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPSPGraphic::CanReadStream);
}

void TPSPGraphic::ReadBlockHeader(TStream& stream, TBlockHeader& block) const {
    // Version 3 puts the length of the block's initial data between identifier and length.
    uint8_t b[14];
    const int size = FMajorVersion == 3 ? 14 : 10;
    stream.ReadBuffer(b, size);
    std::memcpy(block.Marker, b, 4);
    block.Id = Word(b + 4);
    block.End = stream.Position() + DWord(b + size - 4);
}

bool TPSPGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    uint8_t header[FileHeaderSize];
    stream.ReadBuffer(header, FileHeaderSize);
    if (!IsFileHeader(header)) return false;
    FMajorVersion = Word(header + 32);

    TBlockHeader block;
    ReadBlockHeader(stream, block);
    if (FMajorVersion >= 4) ReadDWord(stream);  // the chunk's length
    uint8_t a[AttributesSize];
    stream.ReadBuffer(a, AttributesSize);
    stream.SetPosition(block.End);

    FCompression = Word(a + 17);
    FBitDepth = Word(a + 19);
    TImageProperties& p = Properties;
    p.Version = FMajorVersion;
    p.Width = static_cast<int32_t>(DWord(a));
    p.Height = static_cast<int32_t>(DWord(a + 4));
    double resolution = std::bit_cast<double>(uint64_t{DWord(a + 8)} | uint64_t{DWord(a + 12)} << 32);
    if (a[16] == 2) resolution *= 2.54;  // per centimetre
    p.XResolution = p.YResolution = ResolutionOf(resolution);
    if (FBitDepth == 24) {
        p.BitsPerSample = 8;
        p.SamplesPerPixel = 3;
        p.PixelModel = pmRGB;
    } else {
        p.BitsPerSample = static_cast<uint8_t>(FBitDepth);
        p.SamplesPerPixel = 1;
        p.PixelModel = a[27] != 0 ? pmGray : pmIndexed;
    }
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    switch (FCompression) {
        case pcNone: p.Compression = ckNone; break;
        case pcRunLength: p.Compression = ckRLE; break;
        case pcDeflate: p.Compression = ckDeflate; break;
        default: p.Compression = ckUnknown; break;
    }
    return true;
}

void TPSPGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    StartOffset = static_cast<uint32_t>(stream.Position());
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);
    // The stream stands at the end of the attributes block, where the walk goes on.

    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);
    // The raw depth is checked: a depth of 264 must not pass for 8 in a byte.
    if (FBitDepth != 1 && FBitDepth != 4 && FBitDepth != 8 && FBitDepth != 24)
        GraphicErrorFmt(gesInvalidColorFormat, FormatWord);
    if (FCompression > pcDeflate) GraphicErrorFmt(gesUnsupportedFeature, gesCompression, FormatWord);
    const TImageProperties& p = Properties;
    // A size that the rest of the file cannot fill one channel of is a damaged one: it is
    // refused before a bitmap of that size is made. A file that merely ends early still loads.
    if (RowSizeOf(p.BitsPerSample, p.Width) * p.Height > stream.Remaining() * MostExpansion)
        throw EReadError(SReadError);

    ColorConverter.SetSourceFlags(0);
    ColorConverter.SetSourceSampleBits(p.BitsPerSample);
    ColorConverter.SetTargetSampleBits(p.BitsPerSample);
    ColorConverter.SetSourceSampleCount(p.SamplesPerPixel);
    ColorConverter.SetTargetSampleCount(p.SamplesPerPixel);
    ColorConverter.SetSourceModel(p.PixelModel);
    ColorConverter.SetTargetModel(p.PixelModel == pmRGB ? pmBGR : p.PixelModel);
    SetPixelFormat(ColorConverter.TargetBitmapFormat());
    SetSize(p.Width, p.Height);
    EndProgress();

    // Only one layer is ever shown: the banks after the one that held it are passed over.
    bool layerShown = false;
    TBlockHeader block;
    while (stream.Position() < stream.Size()) {
        ReadBlockHeader(stream, block);
        if (block.Marker[0] != BlockMarker[0]) break;
        if (block.Id == bidPalette)
            ReadPalette(stream);
        else if (block.Id == bidLayerBank && !layerShown)
            layerShown = ReadLayerBank(stream);
        stream.SetPosition(block.End);
    }
}

void TPSPGraphic::ReadPalette(TStream& stream) {
    if (FMajorVersion >= 4) ReadDWord(stream);  // the chunk's length
    // Only 256 entries fit a palette; the rest is passed over with the block.
    const int count = static_cast<int>(std::min<uint32_t>(ReadDWord(stream), TPalette::MaxEntries));
    uint8_t entries[TPalette::MaxEntries * 4];
    stream.ReadBuffer(entries, int64_t{count} * 4);
    SetPalette(ColorConverter.BuildColorPalette({entries}, rpInterleaved8x4, count, true));
}

bool TPSPGraphic::ReadLayerBank(TStream& stream) {
    TBlockHeader layer;
    while (stream.Position() < stream.Size()) {
        ReadBlockHeader(stream, layer);
        StartProgress(gesLoadingData);
        if (layer.Id != bidLayer) return false;

        uint8_t info[LayerInfoSize];
        uint16_t channelCount = 0;
        if (FMajorVersion == 3) {
            stream.Seek(Version3LayerNameSize, TSeekOrigin::soCurrent);
            stream.ReadBuffer(info, LayerInfoSize);
            ReadWord(stream);  // the bitmap count
            channelCount = ReadWord(stream);
        } else {
            const int64_t chunkStart = stream.Position();
            const uint32_t chunkLength = ReadDWord(stream);
            stream.Seek(ReadWord(stream), TSeekOrigin::soCurrent);  // the name
            stream.ReadBuffer(info, LayerInfoSize);
            stream.SetPosition(chunkStart + chunkLength);
        }
        const bool taken = FMajorVersion == 3 ? info[0] == 0 : info[0] < 2;
        if (!taken) {
            stream.SetPosition(layer.End);
            continue;
        }
        if (FMajorVersion >= 4) {
            SkipInnerBlocks(stream, layer.End);
            const int64_t chunkStart = stream.Position();
            const uint32_t chunkLength = ReadDWord(stream);
            ReadWord(stream);  // the bitmap count
            channelCount = ReadWord(stream);
            stream.SetPosition(chunkStart + chunkLength);
        }
        LoadLayer(stream, channelCount);
        return true;
    }
    return false;
}

void TPSPGraphic::SkipInnerBlocks(TStream& stream, int64_t end) {
    // Newer files put blocks of their own between a layer's information and its bitmap
    // information; a chunk never starts with a block's marker.
    for (int64_t at = stream.Position(); at < end;) {
        uint8_t marker[4];
        const bool isBlock = stream.Read(marker, 4) == 4 && std::memcmp(marker, BlockMarker, 4) == 0;
        stream.SetPosition(at);
        if (!isBlock) return;
        TBlockHeader inner;
        ReadBlockHeader(stream, inner);
        at = inner.End;
        stream.SetPosition(at);
    }
}

void TPSPGraphic::LoadLayer(TStream& stream, uint16_t channelCount) {
    const int32_t width = Width(), height = Height();
    const int64_t rowSize = RowSizeOf(Properties.BitsPerSample, width);
    const int64_t imageBytes = rowSize * height;
    const bool rgb = Properties.PixelModel == pmRGB;
    if (channelCount > 3) {
        // The composite channel becomes the alpha of the 32-bit bitmap. The bitmap holds
        // nothing yet, so it is made anew rather than converted.
        if (rgb) {
            ColorConverter.SetSourceModel(pmRGBA);
            ColorConverter.SetSourceSampleCount(4);
            ColorConverter.SetTargetSampleCount(4);
        }
        ColorConverter.SetTargetModel(pmBGRA);
        SetSize(0, 0);
        SetPixelFormat(pf32bit);
        SetSize(width, height);
    }

    // The first channel of each kind is used: a later one (a grey layer's transparency mask
    // after its composite channel) would replace the picture.
    std::vector<uint8_t> channels[ChannelKinds];
    bool stored[ChannelKinds] = {};
    // Each channel block is left at its end, so that a channel that is passed over or read
    // short does not move the next one. A file that ends early keeps the channels it holds.
    for (uint16_t i = 0; i < channelCount && stream.Position() < stream.Size(); ++i) {
        TBlockHeader block;
        ReadBlockHeader(stream, block);
        if (FMajorVersion >= 4) ReadDWord(stream);  // the chunk's length
        const uint32_t compressedLength = ReadDWord(stream);
        const uint32_t uncompressedLength = ReadDWord(stream);
        ReadWord(stream);  // the bitmap type
        const uint16_t type = ReadWord(stream);
        if (type < ChannelKinds && !stored[type]) {
            stored[type] = true;
            ReadChannel(stream, channels[type], compressedLength, uncompressedLength, imageBytes, rowSize);
        }
        stream.SetPosition(block.End);
    }
    EndProgress();

    StartProgress(gesTransfering);
    const bool indexed = ColorConverter.TargetModel() == pmIndexed || ColorConverter.TargetModel() == pmGray;
    const bool alpha = !indexed && ColorConverter.SourceModel() == pmRGBA;
    std::vector<uint16_t> planes;
    if (indexed)
        planes = {ctComposite};
    else if (alpha)
        planes = {ctRed, ctGreen, ctBlue, ctComposite};
    else
        planes = {ctRed, ctGreen, ctBlue};
    // Rows that no channel reaches are left as they are; in the others a channel that ends
    // early adds nothing.
    size_t rows = 0;
    for (uint16_t c : planes)
        if (rowSize > 0) rows = std::max(rows, channels[c].size() / static_cast<size_t>(rowSize));
    const void* sources[4] = {};
    for (size_t k = 0; k < planes.size(); ++k) {
        channels[planes[k]].resize(rows * static_cast<size_t>(rowSize));
        sources[k] = channels[planes[k]].data();
    }
    // A bitmap of no width has no rows to visit.
    for (int32_t y = 0; width > 0 && y < height; ++y) {
        if (static_cast<size_t>(y) < rows) {
            const void* row[4];
            for (size_t k = 0; k < planes.size(); ++k)
                row[k] = static_cast<const uint8_t*>(sources[k]) + static_cast<size_t>(y) * static_cast<size_t>(rowSize);
            ColorConverter.ConvertLine(std::span<const void* const>(row, planes.size()), ScanLine(y), width, 0xFF);
        }
        RowProgress(y, height);
    }
    EndProgress();
}

void TPSPGraphic::ReadChannel(TStream& stream, std::vector<uint8_t>& channel, uint32_t compressedLength,
                              uint32_t uncompressedLength, int64_t imageBytes, int64_t rowSize) {
    const int64_t packed = std::min<int64_t>({compressedLength, stream.Remaining(), std::numeric_limits<int32_t>::max()});
    const int64_t wanted = std::min<int64_t>({uncompressedLength, imageBytes, MostDecodedBytes(FCompression, packed)});
    if (wanted <= 0) return;
    // Whole rows, so that every row of the channel can be handed on as it is; the part the
    // data does not fill stays zero.
    channel.assign(static_cast<size_t>((wanted + rowSize - 1) / rowSize * rowSize), 0);
    if (FCompression == pcNone) {
        stream.Read(channel.data(), wanted);
        return;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(packed));
    const int64_t got = stream.Read(buffer.data(), packed);
    std::unique_ptr<TDecoder> decoder;
    if (FCompression == pcRunLength)
        decoder = std::make_unique<TPSPRLEDecoder>();
    else
        decoder = std::make_unique<TLZ77Decoder>(Z_FINISH, false);
    decoder->BeginDecode();
    const uint8_t* source = buffer.data();
    uint8_t* dest = channel.data();
    decoder->Decode(source, dest, static_cast<int32_t>(got), static_cast<int32_t>(wanted));
    decoder->EndDecode();
}
