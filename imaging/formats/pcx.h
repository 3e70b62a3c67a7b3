// ZSoft Paintbrush images and the screen captures that share their layout: a 128-byte header,
// the image data, and for 256-colour images a palette block of 769 bytes at the end.
//
// The whole image is decoded into one block first, then converted row by row. A row holds the
// bytes-per-line bytes of each plane in turn; pixels are packed from the most significant bit.
//
// What the bitmap holds:
//   one plane of 1, 2, 3, 4 or 8 bits    1-, 4- or 8-bit indexed (2 and 3 bits widened to 4)
//   2, 3 or 4 planes of 1 bit            4-bit indexed, bit k of an index from plane k
//   one plane of 16 bits                 8-bit grey (little-endian samples, narrowed v / 257)
//   three planes of 2 to 7 bits          24-bit, each sample scaled to 0..255
//   three planes of 8 or 16 bits         24-bit
//   four planes of 8 or 16 bits          32-bit, the fourth plane as alpha
// Every other layout is refused with "Invalid color format in PCX file.".
//
// Data that ends early leaves the rows it does not reach as they are; data that could not
// hold even a small part of the image is a read error, so a damaged header never sizes a
// large bitmap for nothing.
#pragma once

#include <cstdint>
#include <string>

#include "decoders.h"
#include "image_graphic.h"

// PCX run-length data: a byte of 0xC0 or more repeats the next byte (its low six bits) times;
// any other byte stands for itself. Runs go on across rows and planes.
class TPCXRLEDecoder : public TDecoder {
public:
    // Decodes up to outputSize bytes into dest from the inputSize bytes at source; neither
    // pointer is advanced. A run is cut at outputSize; decoding stops where the input ends,
    // also between a count byte and the byte it repeats.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
    // The bytes the last Decode wrote.
    int32_t BytesProduced() const { return FProduced; }

private:
    int32_t FProduced = 0;
};

// The 128-byte file header, parsed.
struct TPCXHeader;

class TPCXGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 128 bytes remain and the header has a manufacturer byte the reader
    // accepts (10 or 205), a known version (0 and 2 to 5) and an encoding of 0 or 1. The
    // stream position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the 128 header bytes at the current position (a short stream raises "Stream read
    // error"); false when the manufacturer byte is neither 10 nor 205. The image index is not
    // used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // Reads the image from the current position to the end of the stream.
    void LoadFromStream(TStream& stream) override;

private:
    enum class TRowPath { Converter, PlaneBits, Widened };

    // Describes source and target to the colour manager and answers how rows are built and
    // into which bitmap format; raises for layouts that have none.
    TRowPath SetUpColors(const TPCXHeader& header, TPixelFormat& format);
    void SetUpPalette(TStream& stream, const TPCXHeader& header);
};
