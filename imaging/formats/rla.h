// Alias/Wavefront run-length images: red, green and blue channels and optionally a matte,
// which loads as alpha (24 or 32 bits). Each stored row holds its channels one after the other,
// each a byte count and run-length bytes; a table of row offsets follows the 740-byte header.
// Channels of more than 8 bits hold their bytes as planes, the most significant plane first,
// and are narrowed to their 8 most significant bits (the high byte of 16-bit channels).
// A gamma in the header's text other than 1.0 is applied against a display gamma of 2.2.
#pragma once

#include <cstdint>
#include <string>

#include "decoders.h"
#include "image_graphic.h"

// Run-length bytes of one channel: a signed count byte c; c >= 0 repeats the next byte c + 1
// times, c < 0 copies the next -c bytes.
class TRLADecoder : public TDecoder {
public:
    // inputSize counts the bytes at source, outputSize the bytes dest has room for; both
    // pointers are advanced past what was consumed and produced. Decoding ends when either is
    // used up; a packet cut short yields only what fits and what is there.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

class TRLAGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 740 header bytes remain, the revision is 0xFFFE and the channel
    // type is "rgb" or "xyz" in any case. The position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the 740-byte header at the current position (a short stream raises "Stream read
    // error"); false for the channel type "xyz". The image index is not used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // A header that ReadProperties refuses leaves the bitmap empty without an error.
    void LoadFromStream(TStream& stream) override;
};
