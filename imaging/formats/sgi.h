// Silicon Graphics images: one to four channels of 8 or 16 bits, stored channel by channel with
// the bottom row first, uncompressed or run-length encoded through a table of row offsets and
// lengths. Three channels load as 24-bit colour, four as 32 bits with the fourth as alpha, any
// other count as an 8-bit grey ramp showing the first channel. 16-bit colour is narrowed by the
// colour manager; 16-bit grey keeps the high byte of each sample.
//
// Damaged files show what they hold: a row whose data is missing or ends early leaves the rest
// of its pixels as they were, and run-length packets never reach past their row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders.h"
#include "image_graphic.h"

// Run-length rows of SGI files. A count (a byte for 8-bit samples, a big-endian word for 16-bit
// ones) holds n in its low 7 bits; n = 0 ends the row. With bit 7 set n samples follow and are
// copied, otherwise one sample follows and is repeated n times. Samples are copied as stored.
class TSGIRLEDecoder : public TDecoder {
public:
    // sampleSize in bits: 8 or 16; for any other size the decoder produces nothing.
    explicit TSGIRLEDecoder(int sampleSize);

    // Decodes one row of one channel. inputSize counts the bytes at source, outputSize the
    // samples dest has room for; both pointers are advanced past what was consumed and
    // produced. The row ends at a count of 0, when outputSize samples are written, or where the
    // input ends: a packet cut short by either yields only what fits and what is there.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;

private:
    int FSampleSize;
};

class TSGIGraphic : public TImageGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 512 header bytes remain and the header has the magic number,
    // one or two bytes per sample and a dimension of 1 to 3. The position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the 512-byte header at the current position (a short stream raises "Stream read
    // error"); true when the magic number is right. The image index is not used.
    bool ReadProperties(TStream& stream, uint32_t imageIndex) override;
    void LoadFromStream(TStream& stream) override;

private:
    void Transfer();
    // Reads row y of channel c into dest, which holds one row of samples, and fills what the
    // file does not supply with zeros, the colour of a fresh bitmap.
    void ReadChannelRow(int32_t y, int c, uint8_t* dest);
    // Closes the current progress phase.
    void EndPhase();
    // Closes the last phase and frees what one load needs, also when the load fails.
    void FinishLoad();

    int BytesPerSample = 0;
    size_t RowBytes = 0;
    TCardinalArray RowStarts;
    TCardinalArray RowLengths;
    std::unique_ptr<TSGIRLEDecoder> Decoder;
    std::vector<uint8_t> Packed;  // one run-length row as read from the file
};
