// TIFF decoding against libtiff on the same files: the large PackBits grey and deflate RGB
// (with predictor) files of the corpus, and an uncompressed 2048 x 2048 RGB file written here
// in strips of 32 rows.
//
// Both sides decode from memory into a fresh zeroed image of the layout our bitmap has: rows
// padded to 4 bytes, blue-green-red for RGB, one byte a pixel for grey. libtiff reads every
// strip with TIFFReadEncodedStrip (undoing the predictor itself) and its rows are then
// converted as our colour manager converts them. The deflate file is also timed with libtiff
// held to zlib, the inflater we use: its own choice, libdeflate, inflates about twice as fast.
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "formats/tiff.h"
#include "peers.h"
#include "streams.h"

namespace {

using peers::Bytes;

size_t DecodeOurs(const Bytes& file) {
    TReadOnlyMemoryStream stream(file.data(), file.size());
    TTIFFGraphic graphic;
    graphic.LoadFromStream(stream);
    return graphic.RowStride() * static_cast<size_t>(graphic.Height());
}

// libtiff's client procedures over a file in memory, mapped as libtiff maps files.
struct TMemoryFile {
    const Bytes* File;
    toff_t Position = 0;
};

tsize_t ReadMemory(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* m = static_cast<TMemoryFile*>(handle);
    const toff_t left = m->Position < m->File->size() ? m->File->size() - m->Position : 0;
    const toff_t n = std::min<toff_t>(static_cast<toff_t>(size), left);
    std::memcpy(buffer, m->File->data() + m->Position, n);
    m->Position += n;
    return static_cast<tsize_t>(n);
}

tsize_t WriteNothing(thandle_t, tdata_t, tsize_t) { return 0; }

toff_t SeekMemory(thandle_t handle, toff_t offset, int whence) {
    auto* m = static_cast<TMemoryFile*>(handle);
    if (whence == SEEK_CUR)
        m->Position += offset;
    else if (whence == SEEK_END)
        m->Position = m->File->size() + offset;
    else
        m->Position = offset;
    return m->Position;
}

int CloseMemory(thandle_t) { return 0; }
toff_t MemorySize(thandle_t handle) { return static_cast<TMemoryFile*>(handle)->File->size(); }

int MapMemory(thandle_t handle, tdata_t* base, toff_t* size) {
    auto* m = static_cast<TMemoryFile*>(handle);
    *base = const_cast<uint8_t*>(m->File->data());
    *size = m->File->size();
    return 1;
}

void UnmapMemory(thandle_t, tdata_t, toff_t) {}

// libtiff inflates whole strips with libdeflate where it has it; withZlib asks it for zlib,
// the inflater our reader uses, so that the rest of the work compares like for like.
size_t DecodeLibtiff(const Bytes& file, bool withZlib) {
    TMemoryFile memory{&file};
    TIFF* tif = TIFFClientOpen("memory", "r", &memory, ReadMemory, WriteNothing, SeekMemory, CloseMemory,
                               MemorySize, MapMemory, UnmapMemory);
    if (tif == nullptr) throw std::runtime_error("libtiff cannot open the file");
    if (withZlib) TIFFSetField(tif, TIFFTAG_DEFLATE_SUBCODEC, DEFLATE_SUBCODEC_ZLIB);
    uint32_t width = 0, height = 0;
    uint16_t samples = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const size_t stride = (size_t{width} * samples + 3) & ~size_t{3};
    const size_t scanline = static_cast<size_t>(TIFFScanlineSize(tif));
    // Zeroed as our bitmaps are, by calloc.
    std::unique_ptr<uint8_t, decltype(&std::free)> image(static_cast<uint8_t*>(std::calloc(stride * height, 1)),
                                                         &std::free);
    std::unique_ptr<uint8_t[]> strip(new uint8_t[static_cast<size_t>(TIFFStripSize(tif))]);
    uint32_t row = 0;
    for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif) && row < height; ++s) {
        const tmsize_t got = TIFFReadEncodedStrip(tif, s, strip.get(), -1);
        if (got < 0) break;
        for (size_t r = 0; r < static_cast<size_t>(got) / scanline && row < height; ++r, ++row) {
            const uint8_t* in = strip.get() + r * scanline;
            uint8_t* out = image.get() + row * stride;
            if (samples == 1) {
                std::memcpy(out, in, width);
            } else {
                for (uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                }
            }
        }
    }
    TIFFClose(tif);
    return stride * height;
}

// A little-endian, uncompressed RGB file in strips of 32 rows of a colourful gradient.
Bytes UncompressedRgb(uint32_t width, uint32_t height) {
    constexpr uint32_t RowsPerStrip = 32;
    const uint32_t strips = (height + RowsPerStrip - 1) / RowsPerStrip;
    const uint32_t rowBytes = 3 * width;
    Bytes f;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    f = {'I', 'I'};
    put(42, 2);
    put(8, 4);
    const uint32_t entries = 10;
    const uint32_t tables = 8 + 2 + 12 * entries + 4;  // bits per sample, then the two strip tables
    const uint32_t offsetsAt = tables + 6, countsAt = offsetsAt + 4 * strips, dataAt = countsAt + 4 * strips;
    put(entries, 2);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    };
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 3, tables);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(273, 4, strips, offsetsAt);
    entry(277, 3, 1, 3);
    entry(278, 3, 1, RowsPerStrip);
    entry(279, 4, strips, countsAt);
    entry(284, 3, 1, 1);
    put(0, 4);
    put(8, 2);
    put(8, 2);
    put(8, 2);
    for (uint32_t s = 0; s < strips; ++s) put(dataAt + s * RowsPerStrip * rowBytes, 4);
    for (uint32_t s = 0; s < strips; ++s) put(std::min(RowsPerStrip, height - s * RowsPerStrip) * rowBytes, 4);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            f.push_back(static_cast<uint8_t>(x));
            f.push_back(static_cast<uint8_t>(y));
            f.push_back(static_cast<uint8_t>(x ^ y));
        }
    return f;
}

const peers::Registration registration([] {
    auto compare = [](const char* label, Bytes file, bool deflate = false) {
        std::vector<peers::Peer> others = {{"libtiff", [](const Bytes& f) { return DecodeLibtiff(f, false); }}};
        if (deflate) others.push_back({"libtiff-zlib", [](const Bytes& f) { return DecodeLibtiff(f, true); }});
        peers::Compare("tiff", label, std::make_shared<const Bytes>(std::move(file)), DecodeOurs, std::move(others));
    };
    compare("rgb8_none_2048x2048 (written)", UncompressedRgb(2048, 2048));
    const auto corpus = peers::CorpusDir();
    if (corpus.empty()) {
        std::fprintf(stderr, "test corpus not found at ../shared/corpus; TIFF compares the written file only\n");
        return;
    }
    const auto large = corpus / "synthetic" / "large";
    compare("tiff_packbits_grey8_2048x2048.tif", peers::ReadBytes(large / "tiff_packbits_grey8_2048x2048.tif"));
    compare("tiff_deflate_pred2_rgb8_2048x2048.tif", peers::ReadBytes(large / "tiff_deflate_pred2_rgb8_2048x2048.tif"),
            true);
});

}  // namespace
