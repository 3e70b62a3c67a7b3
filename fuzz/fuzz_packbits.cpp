// PackBits data into a target of a size the input chooses: the first two bytes give the
// target size, the rest is the data. The decoder must stay inside both buffers.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t outputSize = data[0] | (data[1] << 8);
    const int32_t inputSize = static_cast<int32_t>(size - 2);
    // Exactly sized copies, so that a step past either end is caught.
    std::unique_ptr<uint8_t[]> input(new uint8_t[static_cast<size_t>(inputSize)]);
    std::copy(data + 2, data + size, input.get());
    std::unique_ptr<uint8_t[]> output(new uint8_t[static_cast<size_t>(outputSize)]);
    const uint8_t* source = input.get();
    uint8_t* dest = output.get();
    TPackbitsRLEDecoder decoder;
    decoder.BeginDecode();
    decoder.Decode(source, dest, inputSize, outputSize);
    decoder.EndDecode();
    if (source != input.get() || dest != output.get()) __builtin_trap();  // never advanced
    return 0;
}
