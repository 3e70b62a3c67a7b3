// Paint Shop Pro images, file versions 3 and later: 1-, 4- and 8-bit indexed or grey images and
// 24-bit RGB images, with their channels stored plainly, run-length encoded or deflated.
//
// The file is a sequence of blocks. The reader takes the image attributes, the palette and the
// first raster layer of the layer bank and passes over everything else (further layers and
// banks, thumbnails, extended data). The layer's channels are planes: one composite channel for
// indexed and grey images, red, green and blue for RGB images. An RGB layer of more than three
// channels loads as a 32-bit bitmap whose alpha is the composite channel (the layer's
// transparency mask).
//
// Damaged files: a channel that holds fewer rows than the image (or whose data ends early)
// leaves the rows it cannot fill as they are; the first channel of each kind is the one used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoders.h"
#include "image_graphic.h"

// The format's run-length scheme: a byte b below 128 is followed by b literal bytes; a byte of
// 128 or more by one byte that is repeated b - 128 times. inputSize counts source bytes and
// outputSize target bytes; neither pointer is advanced for the caller. A packet that passes
// the end of the output stops there, and one that the input ends in the middle of yields only
// what is there.
class TPSPRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

class TPSPGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 36 bytes of the file header remain, the header starts with the
    // signature (letter case ignored) and names a major version of at least 3. The stream
    // position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the file header at the current position: false when its signature or version does
    // not match; otherwise reads the image attributes block, leaves the stream at its end and
    // answers true. Short data raises "Stream read error". The image index is not used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    void LoadFromStream(TStream& stream) override;

private:
    struct TBlockHeader {
        uint8_t Marker[4] = {};
        uint16_t Id = 0;
        int64_t End = 0;  // stream position of the block's end
    };

    void ReadBlockHeader(TStream& stream, TBlockHeader& block) const;
    void ReadPalette(TStream& stream);
    // Answers whether a layer was shown.
    bool ReadLayerBank(TStream& stream);
    void SkipInnerBlocks(TStream& stream, int64_t end);
    void LoadLayer(TStream& stream, uint16_t channelCount);
    // Fills channel with the channel's rows, as many as its data gives (whole rows; the part
    // the data does not fill is zero), never more than the image holds.
    void ReadChannel(TStream& stream, std::vector<uint8_t>& channel, uint32_t compressedLength,
                     uint32_t uncompressedLength, int64_t imageBytes, int64_t rowSize);

    // What the attributes block says beyond the properties, for loading.
    uint16_t FMajorVersion = 0;
    uint16_t FBitDepth = 0;
    uint16_t FCompression = 0;
};
