// Portable bitmaps, grey maps and pixel maps: P1 to P6, text and raw. Bitmaps load as 1-bit
// images (white 0, black 1), grey maps as 8-bit images with a grey ramp, pixel maps as 24 bits.
// Pixels go straight into the bitmap rows; the colour manager only builds the palettes.
//
// Samples of a maximum of 255 and below are taken as they stand (a maximum of 15 gives a dark
// picture), text values by their lowest 8 bits. Above 255 a raw sample is two bytes,
// big-endian, and every sample, raw or text, is scaled v * 255 / maximum (values beyond the
// maximum show as 255).
//
// The header numbers follow the magic, on its line or on the next ones; "#" starts a comment
// that runs to the end of its line. Text bitmaps take one digit a pixel, separated or not.
// Everything is read through a character source with a buffer of its own. Data that end
// before the image does raise "Stream read error in PPM file.": every byte taken as a pixel
// is one the file holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image_graphic.h"

class TPPMGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 10 bytes remain and they start with "P" and a digit 1 to 6; the
    // position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Parses the header at the current position. False when the first line does not start
    // with "P"; a second character that is not a digit raises EConvertError. A magic digit
    // outside 1 to 6 leaves the properties empty and answers true. The index is ignored.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // A magic digit outside 1 to 6 leaves the bitmap empty without error.
    void LoadFromStream(TStream& stream) override;

private:
    static constexpr size_t BufferSize = 4096;

    // The character source over LoadStream.
    void EmptyBuffer() { FIndex = FCount = 0; }
    bool Refill();
    uint8_t NextChar();
    // The next digit, passing over everything else and comments from "#" to the line's end.
    uint8_t NextDigit();
    // Decimal digits up to the next non-digit, which is consumed; the value stops growing at
    // 2^31 - 1.
    uint32_t ReadNumber();
    void ReadBytes(uint8_t* dest, size_t count);
    // Bytes the source can still deliver: what the buffer holds and what the stream has left.
    int64_t Available();

    // "P" and the variant digit; 0 when the data do not start with "P".
    char ReadMagic();
    void ReadHeaderNumbers(char variant, uint32_t& width, uint32_t& height, uint32_t& maximum);
    void ReadRows(char variant, int32_t width, int32_t height, uint32_t maximum);

    std::array<uint8_t, BufferSize> FBuffer{};
    size_t FIndex = 0;  // next byte to hand out
    size_t FCount = 0;  // bytes the last refill really got
};
