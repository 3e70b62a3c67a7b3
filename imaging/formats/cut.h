// Dr. Halo "cut" images: 8-bit palette indices, run-length coded row by row. The file holds no
// colours: they come from the palette file of the same name with the extension ".pal" beside
// it (".PAL" is tried too, as files from case-blind systems are named), or, without one, from
// a grey ramp (grey level = index). The file has no signature: any data is taken as an image.
#pragma once

#include <cstdint>
#include <string>

#include "decoders.h"
#include "image_graphic.h"

// One row of packets: a 2-byte count (not needed), then packets up to a 0 byte. A packet byte
// b gives n = b and 0x7F; with bit 7 set the next byte is written n times, otherwise the next
// n bytes are copied. inputSize counts the bytes valid at source, outputSize the row's pixels;
// source is left at the start of the next row, dest is not advanced. Pixels beyond the row
// are dropped and the packets read on to the row's end, so the next row starts where it should.
class TCUTRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

class TCUTGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // Always false: the format has no signature to test.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Sets the pixel format to 8 bits and reads width and height at the current position
    // (a short stream raises "Stream read error"); always true. The index is ignored.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // Loads the image with the palette file found for the file name LoadFromFile was given.
    // Loading from a stream alone never looks for a palette file: the picture is grey.
    void LoadFromStream(TStream& stream) override;
    // Remembers the palette file beside the image for this one load.
    void LoadFromFile(const std::string& fileName) override;

private:
    TPalette LoadPalette() const;

    std::string FPaletteFileName;
};
