// zlib streams through the inflate decoder, driven as the readers drive it. The first byte
// chooses the flush kind (partial or finish), whether every call starts a new stream, and
// the sizes of the input pieces and output room per call; the rest is the compressed data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders.h"
#include "exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const int32_t flushKind = (mode & 1) ? 4 : 1;
    const bool resetEachCall = (mode & 2) != 0;
    const size_t piece = size_t{1} << ((mode >> 2) & 7) << 4;     // 16 bytes .. 2 KiB of input
    const size_t room = size_t{1} << ((mode >> 5) & 7) << 6;       // 64 bytes .. 8 KiB of output
    const uint8_t* in = data + 1;
    const size_t inSize = size - 1;

    try {
        TLZ77Decoder decoder(flushKind, resetEachCall);
        decoder.BeginDecode();
        std::vector<uint8_t> output(room);
        size_t offset = 0;
        // Each call either consumes input or fills output, so this ends; the bound keeps an
        // endless stream of empty blocks from running on.
        for (int calls = 0; offset < inSize && calls < 100000; ++calls) {
            const size_t n = std::min(piece, inSize - offset);
            std::vector<uint8_t> chunk(in + offset, in + offset + n);  // exact, for the sanitizer
            const uint8_t* source = chunk.data();
            uint8_t* dest = output.data();
            decoder.Decode(source, dest, static_cast<int32_t>(n), static_cast<int32_t>(output.size()));
            if (source < chunk.data() || source > chunk.data() + n) __builtin_trap();
            if (dest < output.data() || dest > output.data() + output.size()) __builtin_trap();
            const size_t used = static_cast<size_t>(source - chunk.data());
            if (decoder.LastStatus() != 0) break;
            // Output full: call again with the rest of this piece.
            offset += used;
            if (used == 0 && dest == output.data()) break;
        }
        decoder.EndDecode();
    } catch (const Exception&) {
    }
    return 0;
}
