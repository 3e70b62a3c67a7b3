#include "tiff.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <set>

#include "exceptions.h"
#include "streams.h"
#include "tiff_decoders.h"

const TGraphicClass TTIFFGraphic::Class = {
    "TTIFFGraphic", [] { return std::unique_ptr<TGraphic>(new TTIFFGraphic); }, &TTIFFGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "TIF/TIFF";
constexpr int64_t HeaderSize = 8;
constexpr uint64_t EntrySize = 12;

enum TTag : uint16_t {
    tagImageWidth = 256,
    tagImageLength = 257,
    tagBitsPerSample = 258,
    tagCompression = 259,
    tagPhotometric = 262,
    tagFillOrder = 266,
    tagStripOffsets = 273,
    tagSamplesPerPixel = 277,
    tagRowsPerStrip = 278,
    tagStripByteCounts = 279,
    tagXResolution = 282,
    tagYResolution = 283,
    tagPlanarConfiguration = 284,
    tagResolutionUnit = 296,
    tagT4Options = 292,
    tagPredictor = 317,
    tagColorMap = 320,
    tagTileWidth = 322,
    tagTileLength = 323,
    tagExtraSamples = 338,
    tagYCbCrCoefficients = 529,
    tagYCbCrSubSampling = 530,
    tagYCbCrPositioning = 531,
};

enum TFieldType : uint16_t {
    ftByte = 1,
    ftAscii,
    ftShort,
    ftLong,
    ftRational,
    ftSByte,
    ftUndefined,
    ftSShort,
    ftSLong,
    ftSRational,
    ftFloat,
};

// Bytes of one value of a type; 0 for types without a defined meaning here.
unsigned TypeSize(uint16_t type) {
    static constexpr unsigned Sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4};
    return type < std::size(Sizes) ? Sizes[type] : 0;
}

uint16_t Get16(const uint8_t* p, bool bigEndian) {
    return static_cast<uint16_t>(bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p, bool bigEndian) {
    return bigEndian ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                     : p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

TCompressionKind CompressionKind(uint32_t value) {
    switch (value) {
        case 1: return ckNone;
        case 2: return ckCCITTHuffman;
        case 3: return ckCCITTFax3;
        case 4: return ckCCITTFax4;
        case 5: return ckLZW;
        case 8:
        case 32946: return ckDeflate;
        case 32766: return ckNeXT;
        case 32771: return ckCCITTHuffmanW;
        case 32773: return ckPackBits;
        case 32809: return ckThunderScan;
        case 32895: return ckIT8CTPAD;
        case 32896: return ckIT8LW;
        case 32897: return ckIT8MP;
        case 32898: return ckIT8BL;
        case 32908: return ckPixarFilm;
        case 32909: return ckPixarLog;
        case 32947: return ckDCS;
        case 34661: return ckJBIG;
        default: return ckUnknown;
    }
}

bool IsCCITT(TCompressionKind kind) {
    return kind == ckCCITTHuffman || kind == ckCCITTHuffmanW || kind == ckCCITTFax3;
}

// Samples a pixel of the scheme needs in the rows the colour manager reads.
unsigned SchemeSamples(TPixelModel model) {
    switch (model) {
        case pmGrayAlpha: return 2;
        case pmRGB:
        case pmBGR:
        case pmCMY:
        case pmCIELab:
        case pmYCbCr:
        case pmPhotoYCC: return 3;
        case pmRGBA:
        case pmBGRA:
        case pmCMYK: return 4;
        default: return 1;
    }
}

void ReverseBits(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) data[i] = ReversedBits[data[i]];
}

// The most bytes a compressed strip of inputBytes can decode to: PackBits doubles a byte at
// most 128 times for two, zlib reaches about 1032:1, a CCITT row takes at least a byte of
// modified Huffman or a bit of Group 3 data (and one code adds at most 2560 pixels for 12
// bits), a ThunderScan code byte at most 63 pixels.
uint64_t DecodedBound(TCompressionKind kind, uint64_t inputBytes, uint64_t rowBytes) {
    switch (kind) {
        case ckPackBits: return 64 * inputBytes;
        case ckDeflate: return 1040 * inputBytes + 4096;
        case ckCCITTHuffman:
        case ckCCITTHuffmanW: return (inputBytes + 1) * (rowBytes + 256);
        case ckCCITTFax3: return (8 * inputBytes + 2) * (rowBytes + 256);
        case ckThunderScan: return (inputBytes + 1) * (rowBytes + 32);
        default: return inputBytes;
    }
}

uint32_t ReadBits(const uint8_t* data, size_t bitPosition, unsigned bits) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bits; ++i, ++bitPosition)
        v = (v << 1) | ((data[bitPosition >> 3] >> (7 - (bitPosition & 7))) & 1u);
    return v;
}

void WriteBits(uint8_t* data, size_t bitPosition, unsigned bits, uint32_t value) {
    for (unsigned i = 0; i < bits; ++i, ++bitPosition) {
        const uint8_t mask = static_cast<uint8_t>(0x80u >> (bitPosition & 7));
        if ((value >> (bits - 1 - i)) & 1u)
            data[bitPosition >> 3] |= mask;
        else
            data[bitPosition >> 3] &= static_cast<uint8_t>(~mask);
    }
}

// The running sums of the D samples of a pixel stay in named registers (an array of them
// would be kept in memory, every store to the row being able to alias it): each sample costs
// one addition. n counts samples; a tail shorter than a pixel (a row cut short) is summed
// sample by sample.
template <size_t D>
void Accumulate8(uint8_t* row, size_t n) {
    unsigned a = row[0], b = D > 1 ? row[1] : 0, c = D > 2 ? row[2] : 0, d = D > 3 ? row[3] : 0;
    size_t i = D;
    for (; i + D <= n; i += D) {
        uint8_t* p = row + i;
        p[0] = static_cast<uint8_t>(a += p[0]);
        if constexpr (D > 1) p[1] = static_cast<uint8_t>(b += p[1]);
        if constexpr (D > 2) p[2] = static_cast<uint8_t>(c += p[2]);
        if constexpr (D > 3) p[3] = static_cast<uint8_t>(d += p[3]);
    }
    for (; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - D]);
}

template <size_t D, bool BigEndian>
void Accumulate16(uint8_t* row, size_t n) {
    auto load = [](const uint8_t* p) -> unsigned { return Get16(p, BigEndian); };
    auto store = [](uint8_t* p, unsigned v) {
        p[BigEndian ? 0 : 1] = static_cast<uint8_t>(v >> 8);
        p[BigEndian ? 1 : 0] = static_cast<uint8_t>(v);
    };
    unsigned a = load(row), b = D > 1 ? load(row + 2) : 0, c = D > 2 ? load(row + 4) : 0, d = D > 3 ? load(row + 6) : 0;
    size_t i = D;
    for (; i + D <= n; i += D) {
        uint8_t* p = row + 2 * i;
        store(p, a += load(p));
        if constexpr (D > 1) store(p + 2, b += load(p + 2));
        if constexpr (D > 2) store(p + 4, c += load(p + 4));
        if constexpr (D > 3) store(p + 6, d += load(p + 6));
    }
    for (; i < n; ++i) store(row + 2 * i, load(row + 2 * i) + load(row + 2 * (i - D)));
}

template <bool BigEndian>
void Accumulate16(uint8_t* row, size_t n, size_t distance) {
    switch (distance) {
        case 1: Accumulate16<1, BigEndian>(row, n); break;
        case 2: Accumulate16<2, BigEndian>(row, n); break;
        case 3: Accumulate16<3, BigEndian>(row, n); break;
        default: Accumulate16<4, BigEndian>(row, n); break;
    }
}

}  // namespace

// How the decoded bytes of a strip become rows: in units of UnitBytes that hold UnitRows rows.
// A unit is one row, except for subsampled YCbCr, whose units are rows of blocks of
// HSubsampling x UnitRows luma samples followed by their two chroma samples.
struct TTIFFGraphic::TLayout {
    TPixelFormat BitmapFormat = pfDevice;
    TPixelModel TargetModel = pmUnknown;
    uint64_t UnitBytes = 0;
    uint32_t UnitRows = 1;
    uint32_t HSubsampling = 1;
    bool Predictor = false;
    bool ReverseRawBits = false;  // fill order 2 where no decoder reads the bits reversed itself
    // Grey or palette samples with an alpha sample at a depth the colour manager has no
    // converter for: the first sample of every pixel is passed on alone.
    bool FirstSampleOnly = false;
};

void UndoHorizontalDifferencing(uint8_t* row, size_t rowBytes, uint32_t width, unsigned bitsPerSample,
                                unsigned samplesPerPixel, bool bigEndian) {
    if (width < 2 || samplesPerPixel == 0 || samplesPerPixel > 4) return;
    const size_t samples = size_t{width} * samplesPerPixel;
    if (bitsPerSample == 16) {
        const size_t n = std::min(samples, rowBytes / 2);
        if (n <= samplesPerPixel) return;
        if (bigEndian)
            Accumulate16<true>(row, n, samplesPerPixel);
        else
            Accumulate16<false>(row, n, samplesPerPixel);
        return;
    }
    // Bytes: the samples themselves at 8 bits; for packed depths the byte rule that has no
    // notion of samples, three or four bytes apart for three or four samples, else one.
    size_t distance = samplesPerPixel;
    if (bitsPerSample != 8) distance = samplesPerPixel == 3 || samplesPerPixel == 4 ? samplesPerPixel : 1;
    const size_t n = std::min(distance * width, rowBytes);
    if (n <= distance) return;
    switch (distance) {
        case 1: Accumulate8<1>(row, n); break;
        case 2: Accumulate8<2>(row, n); break;
        case 3: Accumulate8<3>(row, n); break;
        default: Accumulate8<4>(row, n); break;
    }
}

bool TTIFFGraphic::CanReadStream(TStream& stream) {
    uint8_t h[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, h, HeaderSize)) return false;
    const bool big = h[0] == 'M' && h[1] == 'M';
    if (!big && !(h[0] == 'I' && h[1] == 'I')) return false;
    const int64_t bytes = stream.Size() - stream.Position();
    return Get16(h + 2, big) == 42 && static_cast<int32_t>(Get32(h + 4, big)) < bytes;
}

bool TTIFFGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TTIFFGraphic::CanReadStream);
}

void TTIFFGraphic::SaveToStream(TStream&) {}

// --- directory and tags ----------------------------------------------------------------------

bool TTIFFGraphic::ReadNumber(TStream& stream, uint64_t offset, unsigned size, uint32_t& value) {
    uint8_t bytes[4];
    const uint64_t at = uint64_t{StartOffset} + offset;
    if (at + size > static_cast<uint64_t>(stream.Size())) return false;
    stream.SetPosition(static_cast<int64_t>(at));
    if (stream.Read(bytes, size) != size) return false;
    value = size == 2 ? Get16(bytes, BigEndian()) : Get32(bytes, BigEndian());
    return true;
}

bool TTIFFGraphic::ReadDirectory(TStream& stream, uint32_t offset) {
    Entries.clear();
    uint32_t count = 0;
    if (!ReadNumber(stream, offset, 2, count)) return false;
    const uint64_t at = uint64_t{StartOffset} + offset + 2;
    const uint64_t bytes = count * EntrySize;
    if (at + bytes > static_cast<uint64_t>(stream.Size())) return false;
    std::vector<uint8_t> raw(bytes);
    stream.SetPosition(static_cast<int64_t>(at));
    if (stream.Read(raw.data(), static_cast<int64_t>(bytes)) != static_cast<int64_t>(bytes)) return false;
    Entries.resize(count);
    const bool big = BigEndian();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = raw.data() + i * EntrySize;
        TDirectoryEntry& e = Entries[i];
        e.Tag = Get16(p, big);
        e.Type = Get16(p + 2, big);
        e.Count = Get32(p + 4, big);
        std::memcpy(e.Field, p + 8, 4);
    }
    // Stable, so that of two entries with one tag it is always the later in the file that is
    // found.
    std::stable_sort(Entries.begin(), Entries.end(),
                     [](const TDirectoryEntry& a, const TDirectoryEntry& b) { return a.Tag < b.Tag; });
    return true;
}

const TTIFFGraphic::TDirectoryEntry* TTIFFGraphic::FindTag(uint16_t tag) const {
    auto it = std::upper_bound(Entries.begin(), Entries.end(), tag,
                               [](uint16_t t, const TDirectoryEntry& e) { return t < e.Tag; });
    return it != Entries.begin() && (it - 1)->Tag == tag ? &*(it - 1) : nullptr;
}

uint32_t TTIFFGraphic::IntegerValue(uint16_t tag, uint32_t defaultValue) const {
    uint32_t count = 0;
    return IntegerValue(tag, defaultValue, count);
}

uint32_t TTIFFGraphic::IntegerValue(uint16_t tag, uint32_t defaultValue, uint32_t& count) const {
    const TDirectoryEntry* e = FindTag(tag);
    count = e ? e->Count : 0;
    if (e == nullptr) return defaultValue;
    const bool big = BigEndian();
    if (e->Count != 1) return Get32(e->Field, big);
    switch (e->Type) {
        case ftByte: return e->Field[0];
        case ftShort:
        case ftSShort: return Get16(e->Field, big);
        case ftLong:
        case ftSLong: return Get32(e->Field, big);
        default: return defaultValue;
    }
}

std::vector<uint8_t> TTIFFGraphic::ValueBytes(const TDirectoryEntry& entry, uint32_t& count) {
    const unsigned size = TypeSize(entry.Type);
    count = 0;
    if (size == 0 || entry.Count == 0) return {};
    const uint64_t bytes = uint64_t{size} * entry.Count;
    if (bytes <= 4) {
        count = entry.Count;
        return std::vector<uint8_t>(entry.Field, entry.Field + bytes);
    }
    // Only what the file holds: a count of four billion values costs nothing.
    TStream& stream = *LoadStream;
    const uint64_t at = uint64_t{StartOffset} + Get32(entry.Field, BigEndian());
    const uint64_t streamSize = static_cast<uint64_t>(stream.Size());
    const uint64_t held = at < streamSize ? (streamSize - at) / size : 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(entry.Count, held));
    std::vector<uint8_t> values(size_t{count} * size);
    if (count > 0) {
        stream.SetPosition(static_cast<int64_t>(at));
        stream.ReadBuffer(values.data(), static_cast<int64_t>(values.size()));
    }
    return values;
}

uint32_t TTIFFGraphic::RawValue(const uint8_t* values, uint16_t type, uint32_t k) const {
    const unsigned size = TypeSize(type);
    const uint8_t* p = values + size_t{k} * size;
    switch (size) {
        case 1: return *p;
        case 2: return Get16(p, BigEndian());
        default: return Get32(p, BigEndian());
    }
}

double TTIFFGraphic::NumberValue(const uint8_t* values, uint16_t type, uint32_t k) const {
    const uint32_t raw = RawValue(values, type, k);
    switch (type) {
        case ftSByte: return static_cast<int8_t>(raw);
        case ftSShort: return static_cast<int16_t>(raw);
        case ftSLong: return static_cast<int32_t>(raw);
        case ftFloat: return std::bit_cast<float>(raw);
        case ftRational:
        case ftSRational: {
            const uint8_t* p = values + size_t{k} * 8;
            const uint32_t num = Get32(p, BigEndian()), den = Get32(p + 4, BigEndian());
            if (den == 0) return 0;
            if (type == ftRational) return static_cast<double>(num) / den;
            return static_cast<double>(static_cast<int32_t>(num)) / static_cast<int32_t>(den);
        }
        default: return raw;
    }
}

float TTIFFGraphic::FloatValue(uint16_t tag, float defaultValue) {
    const TDirectoryEntry* e = FindTag(tag);
    if (e == nullptr || e->Count != 1) return defaultValue;
    switch (e->Type) {
        case ftByte:
        case ftShort:
        case ftSShort:
        case ftLong:
        case ftSLong:
        case ftFloat: return static_cast<float>(NumberValue(e->Field, e->Type, 0));
        case ftRational:
        case ftSRational: {
            uint32_t count = 0;
            const std::vector<uint8_t> bytes = ValueBytes(*e, count);
            if (count == 0 || Get32(bytes.data() + 4, BigEndian()) == 0) return defaultValue;
            return static_cast<float>(NumberValue(bytes.data(), e->Type, 0));
        }
        default: return defaultValue;
    }
}

std::vector<uint32_t> TTIFFGraphic::IntegerList(uint16_t tag) {
    const TDirectoryEntry* e = FindTag(tag);
    if (e == nullptr) return {};
    uint32_t count = 0;
    const std::vector<uint8_t> bytes = ValueBytes(*e, count);
    std::vector<uint32_t> list(count);
    const bool whole = TypeSize(e->Type) <= 4 && e->Type != ftFloat;
    for (uint32_t k = 0; k < count; ++k) {
        if (whole) {
            list[k] = RawValue(bytes.data(), e->Type, k);
        } else {
            // Fractions and floats: their whole part where it is a value of 32 bits.
            const double v = NumberValue(bytes.data(), e->Type, k);
            list[k] = v >= 0 && v < 4294967296.0 ? static_cast<uint32_t>(v) : 0;
        }
    }
    return list;
}

std::vector<uint8_t> TTIFFGraphic::ByteList(uint16_t tag) {
    std::vector<uint32_t> values = IntegerList(tag);
    return std::vector<uint8_t>(values.begin(), values.end());
}

std::vector<float> TTIFFGraphic::FloatList(uint16_t tag) {
    const TDirectoryEntry* e = FindTag(tag);
    if (e == nullptr) return {};
    uint32_t count = 0;
    const std::vector<uint8_t> bytes = ValueBytes(*e, count);
    std::vector<float> list(count);
    for (uint32_t k = 0; k < count; ++k) list[k] = static_cast<float>(NumberValue(bytes.data(), e->Type, k));
    return list;
}

// --- properties ------------------------------------------------------------------------------

bool TTIFFGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    Entries.clear();
    LoadStream = &stream;
    TImageProperties& p = Properties;

    stream.SetPosition(StartOffset);
    uint8_t header[HeaderSize];
    stream.ReadBuffer(header, HeaderSize);
    if (header[0] == 'M' && header[1] == 'M') p.Options |= imBigEndian;
    const bool big = BigEndian();
    p.Version = Get16(header + 2, big);
    p.FirstDirectory = Get32(header + 4, big);
    if (p.Version != 42) return false;

    // A chain that comes back to a directory it passed would be walked for ever.
    uint32_t offset = p.FirstDirectory;
    std::set<uint32_t> passed;
    for (; imageIndex > 0; --imageIndex) {
        uint32_t count = 0, next = 0;
        if (!passed.insert(offset).second || !ReadNumber(stream, offset, 2, count) ||
            !ReadNumber(stream, uint64_t{offset} + 2 + count * EntrySize, 4, next) || next == 0)
            return false;
        offset = next;
    }
    if (!ReadDirectory(stream, offset)) return false;

    p.Width = static_cast<int32_t>(IntegerValue(tagImageWidth, 0));
    p.Height = static_cast<int32_t>(IntegerValue(tagImageLength, 0));
    if (p.Width == 0 || p.Height == 0) return false;

    p.RowsPerStrip = IntegerList(tagRowsPerStrip);
    if (p.RowsPerStrip.empty() || p.RowsPerStrip[0] == 0xFFFFFFFFu)
        p.RowsPerStrip.assign(1, static_cast<uint32_t>(p.Height));
    p.SamplesPerPixel = static_cast<uint8_t>(IntegerValue(tagSamplesPerPixel, 1));
    const std::vector<uint32_t> bits = IntegerList(tagBitsPerSample);
    p.BitsPerSample = bits.empty() ? 1 : static_cast<uint8_t>(bits[0]);
    p.TileWidth = IntegerValue(tagTileWidth, 0);
    p.TileLength = IntegerValue(tagTileLength, 0);
    if (p.TileWidth > 0 && p.TileLength > 0) p.Options |= imTiled;

    const uint32_t photometric = IntegerValue(tagPhotometric, 0) & 0xFF;
    const std::vector<uint32_t> extra = IntegerList(tagExtraSamples);
    p.HasAlpha = !extra.empty() && std::all_of(extra.begin(), extra.end(), [](uint32_t v) { return v <= 2; });
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    // A file without the tag is uncompressed, as every writer means it; an explicit 0 is not
    // a scheme.
    p.Compression = CompressionKind(IntegerValue(tagCompression, 1));

    switch (photometric) {
        case 0:
            p.PixelModel = pmGray;
            p.Options |= imMinIsWhite;
            break;
        case 1: p.PixelModel = pmGray; break;
        case 2: p.PixelModel = p.SamplesPerPixel < 4 ? pmRGB : pmRGBA; break;
        case 3: p.PixelModel = pmIndexed; break;
        case 5: p.PixelModel = pmCMYK; break;
        case 6:
            p.PixelModel = pmYCbCr;
            p.YCbCrSubSampling = ByteList(tagYCbCrSubSampling);
            if (p.YCbCrSubSampling.empty()) p.YCbCrSubSampling = {2, 2};
            if (p.YCbCrSubSampling.size() < 2) p.YCbCrSubSampling.push_back(2);
            YCbCrPositioning = IntegerValue(tagYCbCrPositioning, 1);
            YCbCrCoefficients = FloatList(tagYCbCrCoefficients);
            if (YCbCrCoefficients.empty()) YCbCrCoefficients = {0.299f, 0.587f, 0.114f};
            break;
        case 8: p.PixelModel = pmCIELab; break;
        default: p.PixelModel = pmUnknown; break;
    }
    p.JpegColorSetting = 0;
    p.JpegTablesSetting = 3;
    p.PlanarLayout = IntegerValue(tagPlanarConfiguration, 0);
    p.XResolution = FloatValue(tagXResolution, 0);
    p.YResolution = FloatValue(tagYResolution, 0);
    if (IntegerValue(tagResolutionUnit, 2) == 3) {
        p.XResolution *= 2.54f;
        p.YResolution *= 2.54f;
    }
    p.Predictor = IntegerValue(tagPredictor, 0);
    if (IntegerValue(tagFillOrder, 1) == 2) p.Options |= imReversedBits;
    return true;
}

// --- loading ---------------------------------------------------------------------------------

void TTIFFGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    StartOffset = static_cast<uint32_t>(stream.Position());
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);
    if (Properties.Options & imTiled) {
        EndProgress();
        return;
    }
    ProgressArea = TRect{0, 0, 0, 1};
    StartProgress(gesPreparing);
    std::unique_ptr<TDecoder> decoder;
    // The strip buffers live for one load only.
    auto release = [this] {
        std::vector<uint8_t>().swap(Coded);
        std::vector<uint8_t>().swap(Decoded);
        std::vector<uint8_t>().swap(ScratchRows);
    };
    try {
        LoadImage(stream, decoder);
    } catch (...) {
        release();
        EndProgress();
        if (decoder) {
            try {
                decoder->EndDecode();
            } catch (const Exception&) {
                // The load's own error is the one to report.
            }
        }
        throw;
    }
    release();
    EndProgress();
    if (decoder) decoder->EndDecode();
}

TTIFFGraphic::TLayout TTIFFGraphic::SetUpColors() {
    const TImageProperties& p = Properties;
    TColorManager& cm = ColorConverter;
    TLayout layout;
    cm.SetSourceFlags(BigEndian() ? cfSwapBytes : 0);
    cm.SetSourceSampleBits(p.BitsPerSample);
    // Deeper samples are shown at 8 bits: no bitmap holds 12-bit indices or grey levels.
    cm.SetTargetSampleBits(p.BitsPerSample > 8 ? 8 : p.BitsPerSample);

    TPixelModel source = p.PixelModel;
    if ((source == pmGray || source == pmIndexed) && p.HasAlpha && p.SamplesPerPixel > 1) {
        if (p.BitsPerSample == 8 || p.BitsPerSample == 16)
            source = pmGrayAlpha;
        else
            layout.FirstSampleOnly = true;
    }
    switch (p.PixelModel) {
        case pmRGB:
        case pmCMY:
        case pmCMYK:
        case pmCIELab:
        case pmYCbCr: layout.TargetModel = pmBGR; break;
        case pmRGBA: layout.TargetModel = pmBGRA; break;
        // Grey with alpha shows its grey levels, palette images with alpha their colours.
        default: layout.TargetModel = p.PixelModel; break;
    }
    cm.SetSourceModel(source);
    cm.SetTargetModel(layout.TargetModel);
    cm.SetSourceSampleCount(p.SamplesPerPixel);
    if (p.SamplesPerPixel < SchemeSamples(source)) throw EColorConversionError(gesInvalidPixelScheme);
    if (layout.FirstSampleOnly) cm.SetSourceSampleCount(1);
    // The bitmap takes as many samples as the converter writes.
    cm.SetTargetSampleCount(layout.TargetModel == pmBGR    ? 3
                            : layout.TargetModel == pmBGRA ? 4
                            : (source == pmGrayAlpha || layout.FirstSampleOnly)
                                ? 1
                                : p.SamplesPerPixel);
    if (p.PixelModel == pmCIELab) cm.SetSourceFlags(static_cast<TConversionFlags>(cm.SourceFlags() | cfLabByteScale));
    layout.BitmapFormat = source == pmGrayAlpha ? pf8bit : cm.TargetBitmapFormat();
    return layout;
}

void TTIFFGraphic::SetUpPalette(TStream& stream) {
    const TImageProperties& p = Properties;
    TColorManager& cm = ColorConverter;
    if (cm.TargetModel() == pmIndexed) {
        ColorMap.fill(0);
        const TDirectoryEntry* e = FindTag(tagColorMap);
        const uint32_t n = e ? std::min<uint32_t>(e->Count, ColorMapValues) : 0;
        if (n == 0) return;
        if (uint64_t{TypeSize(e->Type)} * e->Count <= 4) {
            std::memcpy(ColorMap.data(), e->Field, std::min<size_t>(2 * n, 4));
        } else {
            // The values as stored: the palette builder swaps them for big-endian files.
            stream.SetPosition(static_cast<int64_t>(uint64_t{StartOffset} + Get32(e->Field, BigEndian())));
            stream.Read(ColorMap.data(), 2 * int64_t{n});
        }
        const uint8_t* map = ColorMap.data();
        SetPalette(cm.BuildColorPalette({map, map + 2 * (n / 3), map + 2 * (2 * n / 3)}, rpPlanar16,
                                        static_cast<int>(n), false));
    } else if (cm.TargetModel() == pmGray) {
        SetPalette(cm.BuildGrayPalette((p.Options & imMinIsWhite) != 0));
    } else if (cm.SourceModel() == pmYCbCr) {
        cm.SetYCbCrWeights(YCbCrCoefficients, p.YCbCrSubSampling[0], p.YCbCrSubSampling[1]);
    }
}

std::unique_ptr<TDecoder> TTIFFGraphic::CreateDecoder() const {
    const TImageProperties& p = Properties;
    const uint32_t options = IntegerValue(tagT4Options, 0);
    const bool reversed = (p.Options & imReversedBits) != 0;
    switch (p.Compression) {
        case ckNone: return nullptr;
        case ckPackBits: return std::make_unique<TPackbitsRLEDecoder>();
        case ckDeflate: return std::make_unique<TLZ77Decoder>(Z_PARTIAL_FLUSH, true);
        case ckCCITTHuffman: return std::make_unique<TCCITTMHDecoder>(options, reversed, false, p.Width);
        case ckCCITTHuffmanW: return std::make_unique<TCCITTMHDecoder>(options, reversed, true, p.Width);
        case ckCCITTFax3: return std::make_unique<TCCITTFax3Decoder>(options, reversed, false, p.Width);
        case ckThunderScan: return std::make_unique<TThunderDecoder>(p.Width);
        default: GraphicErrorFmt(gesUnsupportedFeature, gesCompression, FormatWord);
    }
}

void TTIFFGraphic::LoadImage(TStream& stream, std::unique_ptr<TDecoder>& decoder) {
    TImageProperties& p = Properties;
    const std::vector<uint32_t> offsets = IntegerList(tagStripOffsets);
    const std::vector<uint32_t> counts = IntegerList(tagStripByteCounts);

    TLayout layout = SetUpColors();
    SetPixelFormat(layout.BitmapFormat);
    SetSize(p.Width, p.Height);
    ProgressArea.Right = p.Width;
    SetUpPalette(stream);

    const uint64_t rowBytes = (uint64_t{p.BitsPerPixel} * static_cast<uint32_t>(p.Width) + 7) / 8;
    p.RowBytes = static_cast<uint32_t>(rowBytes);
    layout.UnitBytes = rowBytes;
    const bool subsampled = ColorConverter.SourceModel() == pmYCbCr && p.BitsPerSample == 8 &&
                            p.SamplesPerPixel == 3 &&
                            (ColorConverter.HorizontalSubsampling() > 1 || ColorConverter.VerticalSubsampling() > 1);
    if (subsampled) {
        layout.HSubsampling = ColorConverter.HorizontalSubsampling();
        layout.UnitRows = ColorConverter.VerticalSubsampling();
        const uint64_t blocks = (static_cast<uint64_t>(p.Width) + layout.HSubsampling - 1) / layout.HSubsampling;
        layout.UnitBytes = blocks * (layout.HSubsampling * layout.UnitRows + 2);
    }
    // Differencing runs along rows of pixels, which blocks of subsampled YCbCr are not.
    layout.Predictor = p.Compression != ckNone && p.Predictor == 2 && !subsampled;
    layout.ReverseRawBits = (p.Options & imReversedBits) != 0 && !IsCCITT(p.Compression);

    decoder = CreateDecoder();
    if (decoder) decoder->BeginDecode();
    EndProgress();
    StartProgress(gesTransfering);

    p.RowIndex = 0;
    p.StripIndex = 0;
    p.StripTotal = static_cast<uint32_t>(offsets.size());
    const uint32_t height = static_cast<uint32_t>(p.Height);
    for (size_t i = 0; i < offsets.size() && p.RowIndex < height; ++i, ++p.StripIndex) {
        const uint32_t perStrip = p.RowsPerStrip[std::min(i, p.RowsPerStrip.size() - 1)];
        const uint32_t rows = std::min(perStrip, height - p.RowIndex);
        if (rows == 0) continue;
        const int64_t byteCount = i < counts.size() ? int64_t{counts[i]} : -1;
        LoadStrip(stream, layout, decoder.get(), uint64_t{StartOffset} + offsets[i], byteCount, rows);
    }
}

void TTIFFGraphic::LoadStrip(TStream& stream, const TLayout& layout, TDecoder* decoder, uint64_t offset,
                             int64_t byteCount, uint32_t rows) {
    const uint64_t streamSize = static_cast<uint64_t>(stream.Size());
    const uint64_t units = (uint64_t{rows} + layout.UnitRows - 1) / layout.UnitRows;
    uint32_t rowsLeft = rows;
    if (offset >= streamSize || layout.UnitBytes == 0) {
        SkipRows(rowsLeft);
        return;
    }

    if (decoder == nullptr) {
        // Whole units as far as the file holds them, read in bands that stay in the cache.
        constexpr size_t BandBytes = 256 * 1024;
        const uint64_t held = std::min(units, (streamSize - offset) / layout.UnitBytes);
        const uint64_t bandUnits = std::max<uint64_t>(1, BandBytes / layout.UnitBytes);
        Decoded.resize(static_cast<size_t>(std::min(held, bandUnits) * layout.UnitBytes));
        stream.SetPosition(static_cast<int64_t>(offset));
        for (uint64_t done = 0; done < held;) {
            const uint64_t n = std::min(bandUnits, held - done);
            const size_t bytes = static_cast<size_t>(n * layout.UnitBytes);
            stream.ReadBuffer(Decoded.data(), static_cast<int64_t>(bytes));
            if (layout.ReverseRawBits) ReverseBits(Decoded.data(), bytes);
            ConvertUnits(layout, Decoded.data(), static_cast<uint32_t>(n), rowsLeft);
            done += n;
        }
        SkipRows(rowsLeft);
        return;
    }

    // Compressed data needs its byte count, and all of it in the file.
    if (byteCount < 0 || offset + static_cast<uint64_t>(byteCount) > streamSize) {
        SkipRows(rowsLeft);
        return;
    }
    const int32_t inputSize = static_cast<int32_t>(std::min<int64_t>(byteCount, std::numeric_limits<int32_t>::max()));
    Coded.resize(static_cast<size_t>(inputSize));
    stream.SetPosition(static_cast<int64_t>(offset));
    stream.ReadBuffer(Coded.data(), inputSize);
    if (layout.ReverseRawBits) ReverseBits(Coded.data(), Coded.size());

    // Room for what the rows need, but never for more than the data can expand to, nor more
    // than twice what a bitmap may hold; rows beyond it are left as they are.
    const uint64_t limit = std::min<uint64_t>(2 * MaxBitmapBytes, std::numeric_limits<int32_t>::max());
    const uint64_t room = std::min({units * layout.UnitBytes,
                                    DecodedBound(Properties.Compression, Coded.size(), layout.UnitBytes), limit});
    const uint64_t decodedUnits = std::min((room + layout.UnitBytes - 1) / layout.UnitBytes, limit / layout.UnitBytes);
    if (decodedUnits == 0) {
        SkipRows(rowsLeft);
        return;
    }
    // Rows the data does not reach are converted from what the buffer holds: zeros, or rows
    // of the strip before.
    Decoded.resize(static_cast<size_t>(decodedUnits * layout.UnitBytes));
    const uint8_t* source = Coded.data();
    uint8_t* dest = Decoded.data();
    decoder->Decode(source, dest, inputSize, static_cast<int32_t>(std::min<uint64_t>(room, Decoded.size())));
    ConvertUnits(layout, Decoded.data(), static_cast<uint32_t>(decodedUnits), rowsLeft);
    SkipRows(rowsLeft);
}

void TTIFFGraphic::ConvertUnits(const TLayout& layout, uint8_t* data, uint32_t units, uint32_t& rowsLeft) {
    TImageProperties& p = Properties;
    const uint32_t width = static_cast<uint32_t>(p.Width);
    auto convert = [&](const uint8_t* row) {
        ColorConverter.ConvertLine({row}, ScanLine(static_cast<int32_t>(p.RowIndex)), p.Width, 0xFF);
        ++p.RowIndex;
        --rowsLeft;
        RowProgress(static_cast<int32_t>(p.RowIndex), p.Height);
    };
    for (uint32_t u = 0; u < units && rowsLeft > 0; ++u) {
        uint8_t* unit = data + size_t{u} * layout.UnitBytes;
        if (layout.Predictor)
            UndoHorizontalDifferencing(unit, layout.UnitBytes, width, p.BitsPerSample, p.SamplesPerPixel,
                                       BigEndian());
        if (layout.UnitRows > 1 || layout.HSubsampling > 1) {
            // Blocks of luma samples with one chroma pair each, spread row by row.
            const uint32_t h = layout.HSubsampling, v = layout.UnitRows;
            ScratchRows.resize(3 * size_t{width});
            for (uint32_t r = 0; r < v && rowsLeft > 0; ++r) {
                const uint8_t* block = unit;
                uint8_t* out = ScratchRows.data();
                for (uint32_t x = 0; x < width; ++x, out += 3) {
                    const uint32_t c = x % h;
                    if (x > 0 && c == 0) block += h * v + 2;
                    out[0] = block[r * h + c];
                    out[1] = block[h * v];
                    out[2] = block[h * v + 1];
                }
                convert(ScratchRows.data());
            }
        } else if (layout.FirstSampleOnly) {
            const unsigned bits = p.BitsPerSample;
            ScratchRows.assign((size_t{width} * bits + 7) / 8, 0);
            for (size_t x = 0; x < width; ++x)
                WriteBits(ScratchRows.data(), x * bits, bits, ReadBits(unit, x * p.SamplesPerPixel * bits, bits));
            convert(ScratchRows.data());
        } else {
            convert(unit);
        }
    }
}

void TTIFFGraphic::SkipRows(uint32_t rows) {
    Properties.RowIndex += rows;
    ProgressArea.Top += static_cast<int32_t>(rows);
    ProgressArea.Bottom += static_cast<int32_t>(rows);
}
