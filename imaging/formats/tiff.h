// Tagged Image File Format: the first image of a file, in either byte order, organised in
// strips, uncompressed or compressed with PackBits, CCITT modified Huffman (also word-aligned),
// CCITT Group 3 one-dimensional, deflate or ThunderScan, with or without the horizontal
// differencing predictor. Grey, palette, RGB(A), CMYK, CIE L*a*b* and YCbCr pixels go through
// the colour manager into the bitmap; grey and palette images load as indexed bitmaps, samples
// above 8 bits are narrowed to 8.
//
// Tiled images load as an empty picture without an error. LZW, JPEG, Group 4 and every other
// scheme are refused with the compression message before any row is converted.
//
// What damaged files give: a strip whose data lies past the end of the file, or a compressed
// strip without a byte count, leaves its rows as they are while the other strips load; a
// directory that runs past the end of the file, or a chain of directories that loops, is an
// invalid file. No claim of the file (value counts, strip sizes) is allocated beyond what the
// file can hold or its decoded strip can use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders.h"
#include "image_graphic.h"

class TTIFFGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than 8 bytes remain and they form a header of either byte order with
    // version 42 and a first directory inside the stream. The position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the header at StartOffset (a short stream raises "Stream read error") and the
    // directory of image imageIndex into Properties. False for a version other than 42, a
    // missing, looping or cut directory, or a width or height of 0.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    // Loads the first image from the stream's position on; all offsets of the file count from
    // there.
    void LoadFromStream(TStream& stream) override;
    // TIFF files are not written: nothing is stored.
    void SaveToStream(TStream& stream) override;

protected:
    // One directory entry with the value field as the file has it: the values themselves
    // when they fit into its four bytes, else their offset.
    struct TDirectoryEntry {
        uint16_t Tag = 0;
        uint16_t Type = 0;
        uint32_t Count = 0;
        uint8_t Field[4] = {};
    };

    // Accessors over the directory last read, looked up by binary search on the tag.
    const TDirectoryEntry* FindTag(uint16_t tag) const;
    // One BYTE, SHORT, SSHORT, LONG or SLONG value; the default for an absent tag or another
    // type. With a count other than 1 the value field itself (the offset) is answered, and
    // count gives the entry's count (0 when absent).
    uint32_t IntegerValue(uint16_t tag, uint32_t defaultValue) const;
    uint32_t IntegerValue(uint16_t tag, uint32_t defaultValue, uint32_t& count) const;
    // One value of any number type; RATIONAL values are read at their offset. The default for
    // an absent tag, a count other than 1, another type, a zero denominator or a value the
    // file does not hold.
    float FloatValue(uint16_t tag, float defaultValue);
    // All values of a tag, as far as the file holds them; empty for an absent tag, a count of
    // 0 or a type without numbers. Byte lists keep the low 8 bits of each value, integer lists
    // BYTE, SHORT and LONG values whole (signed ones as their bit patterns).
    std::vector<uint8_t> ByteList(uint16_t tag);
    std::vector<uint32_t> IntegerList(uint16_t tag);
    std::vector<float> FloatList(uint16_t tag);

private:
    struct TLayout;

    bool BigEndian() const { return (Properties.Options & imBigEndian) != 0; }
    // Reads the directory at offset into Entries, sorted by tag; false when the directory
    // does not lie wholly inside the stream.
    bool ReadDirectory(TStream& stream, uint32_t offset);
    // The 16- or 32-bit number at a file offset, when the stream holds it.
    bool ReadNumber(TStream& stream, uint64_t offset, unsigned size, uint32_t& value);
    // The bytes of an entry's values in file order, from the value field or from their
    // offset; as many whole values as the file holds, and count says how many.
    std::vector<uint8_t> ValueBytes(const TDirectoryEntry& entry, uint32_t& count);
    // Value k of those bytes as an unsigned integer of its type's size, and as a number.
    uint32_t RawValue(const uint8_t* values, uint16_t type, uint32_t k) const;
    double NumberValue(const uint8_t* values, uint16_t type, uint32_t k) const;

    void LoadImage(TStream& stream, std::unique_ptr<TDecoder>& decoder);
    TLayout SetUpColors();
    void SetUpPalette(TStream& stream);
    std::unique_ptr<TDecoder> CreateDecoder() const;
    void LoadStrip(TStream& stream, const TLayout& layout, TDecoder* decoder, uint64_t offset, int64_t byteCount,
                   uint32_t rows);
    void ConvertUnits(const TLayout& layout, uint8_t* data, uint32_t units, uint32_t& rowsLeft);
    void SkipRows(uint32_t rows);

    std::vector<TDirectoryEntry> Entries;
    // Room for three planes of 256 16-bit colour-map values, kept as the file stores them.
    static constexpr size_t ColorMapValues = 788;
    std::array<uint8_t, 2 * ColorMapValues> ColorMap{};
    uint32_t YCbCrPositioning = 1;
    std::vector<float> YCbCrCoefficients;
    // Buffers of one load: a strip's coded bytes, its decoded rows, one row prepared for the
    // colour manager.
    std::vector<uint8_t> Coded;
    std::vector<uint8_t> Decoded;
    std::vector<uint8_t> ScratchRows;
};

// Undoes horizontal differencing on one row of width pixels in place: every sample gets the
// same sample of the pixel before it added. 8- and 16-bit samples are summed as such (16-bit
// ones in the given byte order), with the samples per pixel as the distance; other depths are
// summed byte by byte, three or four bytes apart for three or four samples, else one. Nothing
// beyond rowBytes is touched; rows of more than four samples a pixel are left alone.
void UndoHorizontalDifferencing(uint8_t* row, size_t rowBytes, uint32_t width, unsigned bitsPerSample,
                                unsigned samplesPerPixel, bool bigEndian);
