// The decompressors' common interface and the two decoders several formats share: PackBits
// run-length data and zlib streams. Decoders that belong to one format live beside that
// format's reader, in its own source file, and derive from TDecoder as these do.
//
// A reader creates a decoder per load (or per image part), calls BeginDecode once, Decode as
// often as it needs, EndDecode once, and frees it, also when decoding raises.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>

// Raises EGraphicCompression with the text.
[[noreturn]] void DecoderError(const std::string& message);

class TDecoder {
public:
    TDecoder() = default;
    virtual ~TDecoder() = default;
    TDecoder(const TDecoder&) = delete;
    TDecoder& operator=(const TDecoder&) = delete;

    // Decodes from source into dest. What inputSize and outputSize count (bytes, pixels,
    // rows) and whether the pointers are advanced for the caller is each decoder's own rule.
    // Decoders never write to their input: one that wants the bits of a byte reversed reads
    // them through a table.
    virtual void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) = 0;
    virtual void EndDecode() {}
    virtual void BeginDecode() {}
    // Encoding is only done by decoders of formats that are written; the others store nothing.
    virtual void Encode(const uint8_t* source, uint8_t* dest, int32_t count, int32_t& bytesStored);
    virtual void BeginEncode() {}
    virtual void EndEncode() {}
};

// PackBits run-length data. inputSize counts source bytes and outputSize target bytes;
// neither pointer is advanced for the caller. Runs that overshoot outputSize are cut there,
// and a run or literal that the input ends in the middle of yields only what is there.
class TPackbitsRLEDecoder : public TDecoder {
public:
    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
};

// zlib streams (standard 15-bit window with header and check). inputSize counts the bytes
// available at source, outputSize the room at dest; both pointers are advanced past what was
// consumed and produced. Once a call ends the stream (LastStatus 1) or fails, further calls
// do nothing until a reset succeeds; with resetEachCall every call starts a new stream.
class TLZ77Decoder : public TDecoder {
public:
    // flushKind is handed to inflate: 1 (partial flush) or 4 (finish).
    TLZ77Decoder(int32_t flushKind, bool resetEachCall);
    ~TLZ77Decoder() override;

    void Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) override;
    // Raise gesLZ77Error when zlib cannot set up or release its state.
    void BeginDecode() override;
    void EndDecode() override;

    uint32_t AvailableInput() const { return FStream.avail_in; }
    uint32_t AvailableOutput() const { return FStream.avail_out; }
    // The result of the last zlib call: 0 fine, 1 end of the compressed stream, negative an error.
    int32_t LastStatus() const { return FLastStatus; }

private:
    z_stream FStream{};
    int32_t FLastStatus = 0;
    int32_t FFlushKind;
    bool FResetEachCall;
    bool FInitialized = false;  // zlib holds state that inflateEnd must free
};
