// Truevision Targa images: colour-mapped and grey-scale images of 8 bits per pixel, grey
// images with alpha of 16 bits, and true-colour images of 15, 16, 24 and 32 bits, stored
// plainly or run-length encoded. The file's pixel bytes go into the bitmap unchanged: the
// bitmap takes the pixel format whose memory layout equals the file's (8-bit indices, 5-5-5
// words, blue-green-red, blue-green-red-alpha). Only grey with alpha is widened, to 32 bits.
//
// The class also writes Targa files: run-length encoded, rows from the top, palette images
// with a 256-entry colour map.
#pragma once

#include <cstdint>
#include <string>

#include "decoders.h"
#include "image_graphic.h"

// Run-length packets of Targa files. A packet header byte h covers (h and 0x7F) + 1 pixels;
// with bit 7 set one pixel value follows and is repeated, otherwise that many pixel values
// follow. The colour depth (8, 15, 16, 24 or 32) gives the pixel size; for any other depth the
// coder produces and stores nothing.
class TTargaRLEDecoder : public TDecoder {
public:
    explicit TTargaRLEDecoder(int colorDepth);

    // Decodes one row of outputSize pixels into dest. inputSize counts the bytes valid at
    // source; source is advanced past what was consumed, dest is not advanced. Writers let
    // packets run on into the next row: the part of a packet beyond the row is kept and
    // starts the next call. When the input ends, the row is produced as far as it goes and a
    // run packet whose pixel value is missing is left unconsumed.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
    // Forgets a packet kept from an earlier row.
    void BeginDecode() override;

    // Encodes count pixels of one row from source into dest and answers the bytes written.
    // dest must hold count * (pixel size + 1) bytes, the most any row takes.
    void Encode(const uint8_t* source, uint8_t* dest, int32_t count, int32_t& bytesStored) override;

    int ColorDepth() const { return FColorDepth; }
    // Bytes of one pixel for the coder's depth; 0 for depths the coder does not handle.
    int PixelSize() const { return FPixelSize; }

private:
    int FColorDepth;
    int FPixelSize;
    int32_t FPending = 0;       // pixels of the current packet not yet produced
    bool FPendingRun = false;   // the pending packet repeats FRunPixel; else its values follow
    uint8_t FRunPixel[4] = {};
};

class TTargaGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 18 header bytes remain and the header names a known image
    // type, colour-map type, colour-map entry size and pixel depth. The position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the 18 header bytes at the current position (a short stream raises "Stream read
    // error") into Properties; always true. The image index is not used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;

    // Reads one image from the current position. Image type 0 (no image data) leaves the
    // bitmap empty; an unknown image type and indexed data of more than 8 bits are refused.
    void LoadFromStream(TStream& stream) override;
    // Writes the bitmap as a run-length encoded Targa file; an empty bitmap writes nothing.
    void SaveToStream(TStream& stream) override;
};
