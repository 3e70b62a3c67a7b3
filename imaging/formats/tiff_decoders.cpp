#include "tiff_decoders.h"

#include <algorithm>
#include <cstring>

namespace {

// A code of ITU-T T.4: its bits, first bit highest, and their number.
struct TCode {
    uint16_t Bits;
    uint8_t Length;
};

constexpr TCode WhiteTerminating[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},     {0b1100, 4},
    {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   {0b101010, 6},   {0b101011, 6},
    {0b0100111, 7},  {0b0001100, 7},  {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8},
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, {0b00101001, 8}, {0b00101010, 8},
    {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8},
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8},
    {0b00100101, 8}, {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8},
};

// Run lengths 64, 128, ... 1728.
constexpr TCode WhiteMakeUp[27] = {
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   {0b00110110, 8},  {0b00110111, 8},
    {0b01100100, 8},  {0b01100101, 8},  {0b01101000, 8},  {0b01100111, 8},  {0b011001100, 9}, {0b011001101, 9},
    {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9}, {0b011010101, 9}, {0b011010110, 9}, {0b011010111, 9},
    {0b011011000, 9}, {0b011011001, 9}, {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9},
    {0b010011010, 9}, {0b011000, 6},    {0b010011011, 9},
};

constexpr TCode BlackTerminating[64] = {
    {0b0000110111, 10},   {0b010, 3},           {0b11, 2},            {0b10, 2},            {0b011, 3},
    {0b0011, 4},          {0b0010, 4},          {0b00011, 5},         {0b000101, 6},        {0b000100, 6},
    {0b0000100, 7},       {0b0000101, 7},       {0b0000111, 7},       {0b00000100, 8},      {0b00000111, 8},
    {0b000011000, 9},     {0b0000010111, 10},   {0b0000011000, 10},   {0b0000001000, 10},   {0b00001100111, 11},
    {0b00001101000, 11},  {0b00001101100, 11},  {0b00000110111, 11},  {0b00000101000, 11},  {0b00000010111, 11},
    {0b00000011000, 11},  {0b000011001010, 12}, {0b000011001011, 12}, {0b000011001100, 12}, {0b000011001101, 12},
    {0b000001101000, 12}, {0b000001101001, 12}, {0b000001101010, 12}, {0b000001101011, 12}, {0b000011010010, 12},
    {0b000011010011, 12}, {0b000011010100, 12}, {0b000011010101, 12}, {0b000011010110, 12}, {0b000011010111, 12},
    {0b000001101100, 12}, {0b000001101101, 12}, {0b000011011010, 12}, {0b000011011011, 12}, {0b000001010100, 12},
    {0b000001010101, 12}, {0b000001010110, 12}, {0b000001010111, 12}, {0b000001100100, 12}, {0b000001100101, 12},
    {0b000001010010, 12}, {0b000001010011, 12}, {0b000000100100, 12}, {0b000000110111, 12}, {0b000000111000, 12},
    {0b000000100111, 12}, {0b000000101000, 12}, {0b000001011000, 12}, {0b000001011001, 12}, {0b000000101011, 12},
    {0b000000101100, 12}, {0b000001011010, 12}, {0b000001100110, 12}, {0b000001100111, 12},
};

constexpr TCode BlackMakeUp[27] = {
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},
    {0b000000110011, 12},  {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13},
    {0b0000001101101, 13}, {0b0000001001010, 13}, {0b0000001001011, 13}, {0b0000001001100, 13},
    {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13}, {0b0000001110100, 13},
    {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13},
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13},
    {0b0000001011011, 13}, {0b0000001100100, 13}, {0b0000001100101, 13},
};

// Run lengths 1792, 1856, ... 2560, the same for both colours.
constexpr TCode ExtendedMakeUp[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12}, {0b000000010011, 12},
    {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12}, {0b000000010111, 12}, {0b000000011100, 12},
    {0b000000011101, 12}, {0b000000011110, 12}, {0b000000011111, 12},
};

// Every entry of the tables above is filled in: a code of no bits would land on the root.
template <size_t N>
constexpr bool EveryCodeHasBits(const TCode (&codes)[N]) {
    for (const TCode& c : codes)
        if (c.Length == 0) return false;
    return true;
}
static_assert(EveryCodeHasBits(WhiteTerminating) && EveryCodeHasBits(WhiteMakeUp) &&
              EveryCodeHasBits(BlackTerminating) && EveryCodeHasBits(BlackMakeUp) &&
              EveryCodeHasBits(ExtendedMakeUp));

constexpr int32_t EndOfLine = -1;
constexpr int32_t InvalidCode = -2;

// The end-of-line code, then the codes no row may contain.
constexpr struct {
    TCode Code;
    int32_t Value;
} ExtraCodes[5] = {
    {{0b000000000001, 12}, EndOfLine},  {{0b000000001, 9}, InvalidCode},  {{0b0000000001, 10}, InvalidCode},
    {{0b00000000001, 11}, InvalidCode}, {{0b000000000000, 12}, InvalidCode},
};

template <class Tree>
void AddCode(Tree& tree, TCode code, int32_t value) {
    int32_t node = 0;
    for (int i = code.Length - 1; i >= 0; --i) {
        const unsigned bit = (code.Bits >> i) & 1u;
        if (tree[static_cast<size_t>(node)].Child[bit] == 0) {
            tree[static_cast<size_t>(node)].Child[bit] = static_cast<int32_t>(tree.size());
            tree.emplace_back();
        }
        node = tree[static_cast<size_t>(node)].Child[bit];
    }
    tree[static_cast<size_t>(node)].Value = value;
}

template <class Tree, size_t N>
Tree BuildTree(const TCode (&terminating)[64], const TCode (&makeUp)[N]) {
    Tree tree(1);
    for (int32_t run = 0; run < 64; ++run) AddCode(tree, terminating[run], run);
    for (size_t k = 0; k < N; ++k) AddCode(tree, makeUp[k], static_cast<int32_t>(64 * (k + 1)));
    for (size_t k = 0; k < std::size(ExtendedMakeUp); ++k)
        AddCode(tree, ExtendedMakeUp[k], static_cast<int32_t>(1792 + 64 * k));
    for (const auto& extra : ExtraCodes) AddCode(tree, extra.Code, extra.Value);
    return tree;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCCITTDecoder

TCCITTDecoder::TCCITTDecoder(uint32_t options, bool reverseBits, bool wordAligned, int32_t width)
    : FOptions(options),
      FReverseBits(reverseBits),
      FWordAligned(wordAligned),
      FWidth(width),
      FWhiteTree(BuildTree<TTree>(WhiteTerminating, WhiteMakeUp)),
      FBlackTree(BuildTree<TTree>(BlackTerminating, BlackMakeUp)) {}

void TCCITTDecoder::StartDecoding(const uint8_t* source, uint8_t* dest, int32_t inputSize, int32_t outputSize) {
    FSource = FSourceStart = source;
    FSourceLeft = std::max(inputSize, 0);
    FByte = 0;
    FMask = 0;
    FBitsLeft = 0;
    FTarget = dest;
    FTargetSize = static_cast<size_t>(std::max(outputSize, 0));
    FTargetPos = 0;
    FFreeBits = 8;
    FMissing = FWidth;
    FBlack = false;
    // White runs then cost nothing but moving on.
    if (FTargetSize > 0) std::memset(FTarget, 0, FTargetSize);
}

bool TCCITTDecoder::PeekBit() {
    if (FBitsLeft == 0) {
        if (FSourceLeft == 0) return false;
        FByte = FReverseBits ? ReversedBits[*FSource] : *FSource;
        ++FSource;
        --FSourceLeft;
        FMask = 0x80;
        FBitsLeft = 8;
    }
    return (FByte & FMask) != 0;
}

bool TCCITTDecoder::ReadBit() {
    const bool bit = PeekBit();
    FMask = static_cast<uint8_t>(FMask >> 1);
    if (FBitsLeft > 0) --FBitsLeft;
    return bit;
}

int64_t TCCITTDecoder::ReadRun() {
    const TTree& tree = FBlack ? FBlackTree : FWhiteTree;
    int64_t sum = 0;
    int32_t node = 0;
    for (;;) {
        // A code that ends with the data still counts.
        if (SourceExhausted()) return sum + tree[static_cast<size_t>(node)].Value;
        const bool bit = PeekBit();
        const int32_t child = tree[static_cast<size_t>(node)].Child[bit];
        if (child != 0) {
            ReadBit();
            node = child;
            continue;
        }
        // The node ends a code (or leads nowhere, counted as a run of 0).
        const int32_t value = tree[static_cast<size_t>(node)].Value;
        sum += value;
        if (value < 64) return sum;
        // A make-up code: its terminating code follows; the bit looked at is its first.
        ReadBit();
        node = tree[0].Child[bit];
    }
}

void TCCITTDecoder::SetBits(size_t byte, unsigned firstBit, unsigned count) {
    if (byte >= FTargetSize || count == 0) return;
    FTarget[byte] |= static_cast<uint8_t>((0xFFu >> firstBit) & ~(0xFFu >> (firstBit + count)));
}

bool TCCITTDecoder::FillRun(int64_t run) {
    if (run > 0) {
        int64_t rest = run;
        if (FFreeBits < 8) {
            const unsigned b = static_cast<unsigned>(std::min<int64_t>(rest, FFreeBits));
            if (FBlack) SetBits(FTargetPos, 8 - FFreeBits, b);
            FFreeBits -= b;
            rest -= b;
            if (FFreeBits == 0) {
                if (FTargetPos < FTargetSize) ++FTargetPos;
                FFreeBits = 8;
            }
        }
        if (rest > 0) {
            const uint64_t whole = static_cast<uint64_t>(rest / 8);
            const size_t room = FTargetSize - FTargetPos;
            const size_t bytes = whole < room ? static_cast<size_t>(whole) : room;
            if (FBlack && bytes > 0) std::memset(FTarget + FTargetPos, 0xFF, bytes);
            FTargetPos += bytes;
            const unsigned bits = static_cast<unsigned>(rest % 8);
            if (FBlack) SetBits(FTargetPos, 0, bits);
            FFreeBits = 8 - bits;
        }
        FMissing = std::max<int64_t>(FMissing - run, 0);
    }
    return FMissing == 0;
}

void TCCITTDecoder::EndRow() {
    if (FFreeBits < 8 && FTargetPos < FTargetSize) ++FTargetPos;
    FFreeBits = 8;
    FMissing = FWidth;
}

void TCCITTDecoder::AlignSource() {
    // A byte only looked at belongs to the next row.
    if (FBitsLeft == 8) {
        --FSource;
        ++FSourceLeft;
    }
    FBitsLeft = 0;
    FMask = 0;
    if (FWordAligned && ((FSource - FSourceStart) & 1) != 0 && FSourceLeft > 0) {
        ++FSource;
        --FSourceLeft;
    }
}

// ---------------------------------------------------------------------------------------------
// TCCITTFax3Decoder

void TCCITTFax3Decoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    StartDecoding(source, dest, inputSize, outputSize);
    bool endedOnEndOfLine = false;
    while (!SourceExhausted() && !TargetFull()) {
        // Find the row's start: after an end-of-line code, unless the row before ended on one,
        // and past any fill bits before it.
        if (!endedOnEndOfLine) {
            int zeros = 0;
            while (zeros < 11 && !SourceExhausted()) zeros = ReadBit() ? 0 : zeros + 1;
        }
        while (!SourceExhausted() && !ReadBit()) {
        }
        endedOnEndOfLine = false;
        FBlack = false;
        while (!SourceExhausted()) {
            const int64_t run = ReadRun();
            if (run == EndOfLine) {
                endedOnEndOfLine = true;
                break;
            }
            if (run < 0 || FillRun(run)) break;
            FBlack = !FBlack;
        }
        EndRow();
    }
}

// ---------------------------------------------------------------------------------------------
// TCCITTMHDecoder

void TCCITTMHDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    StartDecoding(source, dest, inputSize, outputSize);
    while (!SourceExhausted() && !TargetFull()) {
        const int64_t run = ReadRun();
        if (run > 0 && FillRun(run)) {
            EndRow();
            AlignSource();
            FBlack = false;
        } else {
            FBlack = !FBlack;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TThunderDecoder

TThunderDecoder::TThunderDecoder(int32_t width) : FWidth(width) {}

void TThunderDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    static constexpr int Delta2[4] = {0, 1, 0, -1};
    static constexpr int Delta3[8] = {0, 1, 2, 3, 0, -3, -2, -1};
    if (FWidth <= 0) return;
    const uint8_t* in = source;
    const uint8_t* const end = in + std::max(inputSize, 0);
    const size_t size = static_cast<size_t>(std::max(outputSize, 0));
    const uint32_t width = static_cast<uint32_t>(FWidth);
    const size_t rowBytes = (size_t{width} + 1) / 2;
    for (size_t rowStart = 0; rowStart < size && in < end; rowStart += rowBytes) {
        uint8_t* row = dest + rowStart;
        const size_t room = std::min(rowBytes, size - rowStart);
        unsigned last = 0;
        uint32_t count = 0;
        // The first pixel of a byte goes into its high nibble and clears the low one.
        auto put = [&](int value) {
            last = static_cast<unsigned>(value) & 0xF;
            if (count >= width) return;
            const size_t at = count / 2;
            if (at < room) row[at] = (count & 1) ? static_cast<uint8_t>(row[at] | last) : static_cast<uint8_t>(last << 4);
            ++count;
        };
        while (in < end && count < width) {
            const unsigned code = *in++;
            const unsigned n = code & 0x3F;
            switch (code >> 6) {
                case 0:
                    for (unsigned k = 0; k < n && count < width; ++k) put(static_cast<int>(last));
                    break;
                case 1:
                    for (int shift = 4; shift >= 0; shift -= 2) {
                        const unsigned f = (n >> shift) & 3;
                        if (f != 2) put(static_cast<int>(last) + Delta2[f]);
                    }
                    break;
                case 2:
                    for (int shift = 3; shift >= 0; shift -= 3) {
                        const unsigned f = (n >> shift) & 7;
                        if (f != 4) put(static_cast<int>(last) + Delta3[f]);
                    }
                    break;
                default: put(static_cast<int>(code & 0xF)); break;
            }
        }
    }
}
