// Photoshop documents ("psd", "pdd"): the merged image that the file keeps after its layers,
// which are passed over. Bitmap, grey-scale, duotone, indexed, RGB, CMYK, multichannel and
// L*a*b* documents of 8 bits per channel and colour documents of 16 bits, stored raw or
// PackBits-compressed, channel after channel.
//
// What the bitmap holds: bitmap mode as 1 bit with white for 0 and black for 1; grey-scale and
// duotone as 8 bits with a grey ramp (16-bit grey narrowed to 8); indexed as 8 bits with the
// file's palette; RGB, CMYK and L*a*b* as 24 bits; RGB and multichannel documents of four or
// more channels as 32 bits, the fourth channel being alpha. Channels beyond those are not
// shown. A multichannel document of one or two channels shows its first channel as grey; grey
// and indexed documents show their first channel whatever channels follow. 16-bit samples are
// narrowed by truncation (v / 257).
//
// Colour modes the reader does not know (5, 6 and above 9) give a bitmap of the document's
// size with no pixels read.
//
// Damaged data: every PackBits row decodes from its own bytes as the row counts give them, so
// a damaged row spoils only itself, and what a row or a file cut short does not provide stays
// black. Raw data must be there in full. An image that its data could not fill even at
// PackBits' best ratio is refused ("Stream read error") before its pixels are worked on.
#pragma once

#include <cstdint>
#include <string>

#include "image_graphic.h"

class TPSDGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 26 header bytes remain, the signature reads "8BPS" in any
    // letter case and the version is 1. The stream position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the header at the current position (false when the signature is not "8BPS"
    // exactly), passes over the colour-mode data, the image resources and the layers, and
    // reads the compression word: the stream is left at the start of the merged image's
    // data. A stream too short for these reads raises "Stream read error". The image index is
    // not used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;

    // Reads the merged image of the document that starts at the current position.
    void LoadFromStream(TStream& stream) override;

private:
    // Reads the merged image's rows from the current position (raw, or PackBits with the row
    // counts given) and converts them into the bitmap.
    void ReadImageData(TStream& stream, int32_t depth, int channels, const uint8_t* rowCounts);
};
