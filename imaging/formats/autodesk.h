// Autodesk animation cels and pictures ("cel", "pic"): a 32-byte header, a 256-entry palette
// of 6-bit components and uncompressed 8-bit rows, top row first. Indices and palette go
// straight into the bitmap. Reads are plain: a file that ends early leaves the palette entries
// it lacks black and the pixels it lacks at the new bitmap's zeros, without error.
#pragma once

#include <cstdint>
#include <string>

#include "image_graphic.h"

class TAutodeskGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 32 bytes remain, the signature 0x9119 leads, and depth and
    // compression are 8 and 0; the position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // False unless the first two bytes are the signature (the stream is then left after
    // them). Depth and compression are not checked. The index is ignored.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    void LoadFromStream(TStream& stream) override;
};
