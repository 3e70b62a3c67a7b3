#include "decoders.h"

#include <algorithm>
#include <cstring>

#include "exceptions.h"
#include "image_graphic.h"

void DecoderError(const std::string& message) { throw EGraphicCompression(message); }

void TDecoder::Encode(const uint8_t*, uint8_t*, int32_t, int32_t& bytesStored) { bytesStored = 0; }

void TPackbitsRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const uint8_t* src = source;
    uint8_t* dst = dest;
    while (outputSize > 0 && inputSize > 0) {
        const int n = static_cast<int8_t>(*src++);
        --inputSize;
        if (n >= 0) {
            const int32_t copied = std::min({n + 1, outputSize, inputSize});
            std::memcpy(dst, src, static_cast<size_t>(copied));
            src += copied;
            dst += copied;
            inputSize -= copied;
            outputSize -= copied;
        } else if (n != -128) {
            // The byte to repeat must itself be there; a run cut off by the end of the input
            // writes nothing.
            if (inputSize == 0) break;
            const int32_t written = std::min(1 - n, outputSize);
            std::memset(dst, *src++, static_cast<size_t>(written));
            --inputSize;
            dst += written;
            outputSize -= written;
        }
    }
}

TLZ77Decoder::TLZ77Decoder(int32_t flushKind, bool resetEachCall)
    : FFlushKind(flushKind), FResetEachCall(resetEachCall) {}

TLZ77Decoder::~TLZ77Decoder() {
    // A reader that raises mid-load never gets to EndDecode; zlib's state is freed here.
    if (FInitialized) inflateEnd(&FStream);
}

void TLZ77Decoder::BeginDecode() {
    if (FInitialized) {
        inflateEnd(&FStream);
        FInitialized = false;
    }
    FStream = z_stream{};
    FLastStatus = inflateInit(&FStream);
    if (FLastStatus < 0) DecoderError(gesLZ77Error);
    FInitialized = true;
}

void TLZ77Decoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    // zlib does not write through next_in; its interface merely lacks the const.
    FStream.next_in = const_cast<Bytef*>(source);
    FStream.avail_in = static_cast<uInt>(std::max(inputSize, 0));
    if (!FInitialized) {
        FLastStatus = Z_STREAM_ERROR;
        return;
    }
    if (FResetEachCall) FLastStatus = inflateReset(&FStream);
    if (FLastStatus != Z_OK) return;
    FStream.next_out = dest;
    FStream.avail_out = static_cast<uInt>(std::max(outputSize, 0));
    FLastStatus = inflate(&FStream, FFlushKind);
    source = FStream.next_in;
    dest = FStream.next_out;
}

void TLZ77Decoder::EndDecode() {
    if (!FInitialized) return;
    FInitialized = false;
    FLastStatus = inflateEnd(&FStream);
    if (FLastStatus < 0) DecoderError(gesLZ77Error);
}
