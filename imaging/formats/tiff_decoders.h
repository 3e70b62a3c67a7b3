// The decompressors only TIFF strips use: CCITT modified Huffman run lengths (compressions 2
// and 32771), CCITT Group 3 one-dimensional data (compression 3) and ThunderScan 4-bit data
// (compression 32809). Each expands one whole strip per Decode call; neither the source nor the
// target pointer is advanced for the caller, and nothing is ever read past inputSize bytes of
// source or written past outputSize bytes of target: corrupt runs and rows simply stop at the
// end of the buffer, which keeps what was decoded. None of them raises or encodes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "decoders.h"

// Every byte with its bit order reversed: 0x01 gives 0x80. Fill order 2 stores bytes so.
inline constexpr std::array<uint8_t, 256> ReversedBits = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i)
        for (unsigned b = 0; b < 8; ++b)
            if (i & (1u << b)) table[i] = static_cast<uint8_t>(table[i] | (0x80u >> b));
    return table;
}();

// Both CCITT schemes: the code trees of ITU-T T.4 and the bit-level reading and run filling.
// Output is one bit per pixel, most significant bit first, 1 for black; every row starts on a
// byte of its own, so rows lie (width + 7) div 8 bytes apart.
class TCCITTDecoder : public TDecoder {
public:
    // options is the file's T4Options value; it is kept but two-dimensional coding and
    // uncompressed mode are not recognised. With reverseBits every source byte is read least
    // significant bit first. wordAligned starts every coded row on a 16-bit boundary of the
    // source (modified Huffman only). width is the row length in pixels.
    TCCITTDecoder(uint32_t options, bool reverseBits, bool wordAligned, int32_t width);

    uint32_t Options() const { return FOptions; }

protected:
    // A tree node: the children for a 0 and a 1 bit (0: none) and the value a code ending
    // here stands for: a run length, -1 for an end of line, -2 for an invalid code.
    struct TNode {
        int32_t Child[2] = {0, 0};
        int32_t Value = 0;
    };
    using TTree = std::vector<TNode>;

    void StartDecoding(const uint8_t* source, uint8_t* dest, int32_t inputSize, int32_t outputSize);
    bool SourceExhausted() const { return FBitsLeft == 0 && FSourceLeft == 0; }
    bool ReadBit();
    // The next bit without taking it; false once the source is exhausted.
    bool PeekBit();
    // The sum of the make-up codes and the terminating code (or -1, -2) read with the tree of
    // the current colour; what was read so far when the source runs out.
    int64_t ReadRun();
    // Writes a run of the current colour; false while the row still misses pixels.
    bool FillRun(int64_t run);
    void EndRow();
    // Drops the bits left of a partly read source byte, and with word alignment a further
    // byte when the next coded row would start at an odd offset.
    void AlignSource();
    bool TargetFull() const { return FTargetPos >= FTargetSize; }

    bool FBlack = false;  // the current colour

private:
    void SetBits(size_t byte, unsigned firstBit, unsigned count);

    uint32_t FOptions;
    bool FReverseBits;
    bool FWordAligned;
    int32_t FWidth;
    TTree FWhiteTree;
    TTree FBlackTree;

    const uint8_t* FSource = nullptr;
    const uint8_t* FSourceStart = nullptr;
    int64_t FSourceLeft = 0;  // bytes not yet taken
    uint8_t FByte = 0;        // the byte being read, in reading order
    uint8_t FMask = 0;
    int FBitsLeft = 0;

    uint8_t* FTarget = nullptr;
    size_t FTargetSize = 0;
    size_t FTargetPos = 0;     // the byte being filled
    unsigned FFreeBits = 8;    // 8: none of it used yet
    int64_t FMissing = 0;      // pixels the row still lacks
};

class TCCITTFax3Decoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;
    // Rows are found by their end-of-line codes; fill bits before them are passed over. An
    // invalid code ends its row.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

class TCCITTMHDecoder : public TCCITTDecoder {
public:
    using TCCITTDecoder::TCCITTDecoder;
    // Every coded row starts on a new source byte (a new 16-bit word when word-aligned);
    // end-of-line and invalid codes are passed over.
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

// ThunderScan 4-bit data: code bytes whose top two bits select a run of the last pixel, two or
// three deltas to it, or a raw pixel. Rows are decoded one by one, each from a last pixel of 0,
// into (width + 1) div 2 bytes, two pixels a byte, the first in the high nibble.
class TThunderDecoder : public TDecoder {
public:
    explicit TThunderDecoder(int32_t width);
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;

private:
    int32_t FWidth;
};
