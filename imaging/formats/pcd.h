// Kodak Photo-CD image packs: always the Base resolution, 768 x 512 pixels of luminance with
// chrominance at half resolution both ways. The chrominance is upsampled, PhotoYCC converted
// to 24-bit colour by the colour manager, and the rotation the file stores applied (512 x 768
// for a quarter turn either way). Overview files are read from their sector 5 with the same
// geometry. The higher, Huffman-coded resolutions are not loaded.
#pragma once

#include <cstdint>
#include <string>

#include "image_graphic.h"

class TPCDGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 6144 bytes remain and the data starts with "PCD_OPA" (an overview
    // file) or holds "PCD" at 2048 (an image pack); the position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the first 6144 bytes (a shorter stream raises "Stream read error"); the index
    // selects the resolution whose size is reported (0: 192 x 128 ... 5: 6144 x 4096, higher
    // indices count as 5; overview files report 0). True for overview files and image packs.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // Data of neither kind leave the bitmap empty without error; Base data that end early
    // raise "Stream read error".
    void LoadFromStream(TStream& stream) override;

    // Doubles a plane of w x h samples, held in its first h rows of `stride` bytes, to 2w x 2h
    // in place: new samples between two old ones are their rounded mean, those amid four the
    // mean of the four, and the last column and row repeat their neighbours.
    static void Upsample(uint8_t* plane, int w, int h, size_t stride);
};
