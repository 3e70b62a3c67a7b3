// Portable network graphics: grey, grey with alpha, indexed, RGB and RGBA images of every depth
// the format allows, interlaced or not, with gamma, background and transparent colour.
//
// The reader walks the chunks, checks every chunk it reads against its CRC (skipped chunks are
// not checked), inflates the image data straight into a row buffer, undoes the row filters and
// converts each row with the colour manager; Adam7 passes go through the manager's pixel mask.
//
// What the bitmap holds: grey loads as an indexed bitmap with a grey ramp (16-bit narrowed to
// 8, 2-bit widened to 4), grey with alpha as an 8-bit grey bitmap without its alpha, indexed as
// an indexed bitmap (2-bit as 4-bit), RGB as 24 bits and RGBA as 32 bits with straight alpha.
// 16-bit samples are narrowed by truncation (v / 257). The transparency table of indexed
// images is not applied; a single transparent grey or RGB colour marks the bitmap transparent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"
#include "decoders.h"
#include "image_graphic.h"

class TPNGGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 8 bytes remain and they start with the signature; the stream
    // position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the header chunk (its CRC is checked) and looks ahead for a gamma chunk. False
    // when the signature is wrong, the first chunk is not a valid header, or a side is 0 or
    // beyond 2^31 - 1. The image index is ignored.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    void LoadFromStream(TStream& stream) override;

    // After loading an indexed image: the alpha its transparency table gives the bitmap's
    // palette entry `index` (255 where the table says nothing, and for every other image).
    // The table is not applied to the bitmap; icons use it for their own alpha.
    uint8_t IndexAlpha(uint32_t index) const;
    bool HasIndexAlpha() const { return !IndexAlphaTable.empty(); }

private:
    void ResetLoadState();
    void LoadChunks(TStream& stream);
    void FinishLoad(bool succeeded);

    // Chunk access. NextChunkHeader reads length and type strictly and starts the CRC;
    // FetchChunkData reads the data and stored CRC strictly and compares. A length the stream
    // cannot supply fails with the read error before anything is allocated.
    void NextChunkHeader();
    void FetchChunkData();
    bool ChunkIs(uint32_t type) const;

    void SetUpColors();
    void ReadPalette();
    void ReadGamma();
    void ReadBackground();
    void ReadTransparency();
    TColor BitmapColor(TColor fileColor) const;
    void FillBackground();

    void LoadImageData();
    void InflateRow(uint8_t* buffer, size_t count);

    // The IHDR fields the loading needs beyond Properties.
    uint8_t BitDepth = 0;
    uint8_t ColorType = 0;
    uint8_t InterlaceMethod = 0;

    std::unique_ptr<TLZ77Decoder> Inflater;
    std::vector<uint8_t> ChunkData;
    uint32_t ChunkLength = 0;
    uint32_t ChunkType = 0;
    uint32_t RunningCRC = 0;
    size_t InflatePosition = 0;
    uint32_t HeldDataLength = 0;
    size_t PixelStride = 1;
    TPalette BuiltPalette;
    bool HasBuiltPalette = false;
    // Background and transparent colour as the file states them (grey levels scaled to 8
    // bits); gamma is applied when the image data starts, so that they match the pixels.
    TColor FillColor = 0xFFFFFF;
    uint32_t KeyColor = NoKeyColor;
    // bKGD of an indexed image: the palette index, resolved against the palette that the
    // image data is shown with (-1: none).
    int32_t BackgroundIndex = -1;
    int32_t PaletteEntries = 0;  // entries the PLTE chunk holds (at most 256)
    std::vector<uint8_t> IndexAlphaTable;  // tRNS of an indexed image, by file index
    bool ImageDataSeen = false;

    static constexpr uint32_t NoKeyColor = 0x1FFFFFFF;
};

// Undoes one row filter in place. row[0] is the filter type and the filtered bytes follow;
// previous has the same layout (its first byte is ignored) and holds the reconstructed row
// above, all zeros for the first row of an image or pass. bytesPerPixel is at least 1.
// Unknown filter types leave the bytes as stored.
void ReconstructRow(uint8_t* row, const uint8_t* previous, size_t rowBytes, size_t bytesPerPixel);
