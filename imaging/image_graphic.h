// The base of every image-format reader. A reader is the bitmap it fills: loading decodes the
// file, sets pixel format, size and palette, and converts every row through the reader's
// colour manager into the scan lines, reporting progress on the way.
//
// Loading, as every reader does it:
//   1. release the current image; StartOffset := the stream position;
//   2. ReadProperties(stream, 0), raising gesInvalidImage with the format word when false;
//   3. go back to StartOffset where the format is read from its start;
//   4. describe source and target to ColorConverter, take its TargetBitmapFormat, build the
//      palette for indexed and gray targets, set width and height;
//   5. decode row by row, ConvertLine each row into its scan line, report progress.
// Progress runs in phases opened with psStarting and closed with psEnding ("Preparing...",
// "Loading data...", "Upsampling...", "Transfering..."); StartProgress, RowProgress and
// EndProgress do the bookkeeping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap.h"
#include "color_manager.h"
#include "exceptions.h"

class TStream;

// Messages of the readers; %s takes the format word the reader chooses ("PNG", "TIF/TIFF", ...).
inline constexpr const char* gesInvalidImage = "Cannot load image. Invalid or unexpected %s image format.";
inline constexpr const char* gesInvalidColorFormat = "Invalid color format in %s file.";
inline constexpr const char* gesStreamReadError = "Stream read error in %s file.";
inline constexpr const char* gesUnsupportedFeature = "Cannot load image. %s not supported for %s files.";
inline constexpr const char* gesCompression = "The compression scheme is";
inline constexpr const char* gesInvalidCRC = "Cannot load image. CRC error found in %s file.";
inline constexpr const char* gesDecompression = "Cannot load image. Compression error found in %s file.";
inline constexpr const char* gesExtraCompressedData = "Cannot load image. Extra compressed data found in %s file.";
inline constexpr const char* gesInvalidPalette = "Cannot load image. Palette in %s file is invalid.";
inline constexpr const char* gesUnknownCriticalChunk = "Cannot load PNG image. Unexpected but critical chunk detected.";
inline constexpr const char* gesLZ77Error = "LZ77 decompression error.";
inline constexpr const char* gesRegistration = "Attempt to register %s twice.";
// Progress stage texts.
inline constexpr const char* gesPreparing = "Preparing...";
inline constexpr const char* gesLoadingData = "Loading data...";
inline constexpr const char* gesUpsampling = "Upsampling...";
inline constexpr const char* gesTransfering = "Transfering...";

enum TImageFlag : uint8_t {
    imTiled = 1 << 0,         // pixel data is organised in tiles
    imBigEndian = 1 << 1,     // multi-byte numbers in the file are big-endian
    imMinIsWhite = 1 << 2,    // gray or bilevel sample value 0 is white
    imReversedBits = 1 << 3,  // bits within a byte are stored least significant first
    imUseGamma = 1 << 4,      // a file gamma was found and is applied
};
using TImageFlags = uint8_t;

enum TCompressionKind : uint8_t {
    ckUnknown,
    ckNone,
    ckRLE,  // the format's own run-length scheme
    ckPackBits,
    ckLZW,
    ckCCITTFax3,
    ckCCITTHuffman,
    ckCCITTFax4,
    ckCCITTHuffmanW,
    ckDeflate,
    ckThunderScan,
    ckNeXT,
    ckIT8CTPAD,
    ckIT8LW,
    ckIT8MP,
    ckIT8BL,
    ckPixarFilm,
    ckPixarLog,
    ckDCS,
    ckJBIG,
    ckPhotoCDHuffman,
};

using TCardinalArray = std::vector<uint32_t>;
using TByteArray = std::vector<uint8_t>;

// What a reader learns from a file's header. The two arrays are plain vectors: copying the
// record copies them, so no two readers ever share or alter each other's arrays.
struct TImageProperties {
    uint32_t Version = 0;
    TImageFlags Options = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    TPixelModel PixelModel = pmUnknown;
    uint8_t BitsPerSample = 0;
    uint8_t SamplesPerPixel = 0;
    uint8_t BitsPerPixel = 0;
    TCompressionKind Compression = ckUnknown;
    float Gamma = 1.0f;  // 1.0 when the file states none
    float XResolution = 0;
    float YResolution = 0;
    bool Interlaced = false;
    bool HasAlpha = false;
    // TIFF
    uint32_t FirstDirectory = 0;
    uint32_t PlanarLayout = 0;
    uint32_t RowIndex = 0;
    uint32_t TileWidth = 0;
    uint32_t TileLength = 0;
    uint32_t RowBytes = 0;
    TCardinalArray RowsPerStrip;
    TByteArray YCbCrSubSampling;
    uint32_t JpegColorSetting = 0;
    uint32_t JpegTablesSetting = 0;
    uint32_t StripIndex = 0;
    uint32_t StripTotal = 0;
    uint32_t Predictor = 0;
    // Photo-CD
    bool IsOverview = false;
    uint8_t RotationCode = 0;
    uint16_t ImageCount = 0;
    // Wavefront RLA
    bool BottomUp = false;
    // Photoshop
    uint8_t ChannelCount = 0;
    // PNG
    uint8_t FilterMethod = 0;
};

// Raise EInvalidGraphic with the text, or with the text formatted by the arguments.
[[noreturn]] void GraphicError(const std::string& message);
template <class... Args>
[[noreturn]] void GraphicErrorFmt(const char* message, const Args&... args) {
    GraphicError(Format(message, args...));
}

// Reverse the bytes of each of count 16-bit / 32-bit values in place. The values may sit at
// any address; a count of 0 changes nothing.
void ByteSwap16Array(void* values, size_t count);
void ByteSwap32Array(void* values, size_t count);
constexpr uint32_t ByteSwap32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Puts a stream back where it was when the guard goes out of scope, also when a read raises.
class TStreamPositionGuard {
public:
    explicit TStreamPositionGuard(TStream& stream);
    ~TStreamPositionGuard();
    TStreamPositionGuard(const TStreamPositionGuard&) = delete;
    TStreamPositionGuard& operator=(const TStreamPositionGuard&) = delete;

private:
    TStream& FStream;
    int64_t FPosition;
};

class TImageGraphic : public TBitmap {
public:
    TImageGraphic() = default;
    ~TImageGraphic() override = default;
    TImageGraphic(const TImageGraphic&) = delete;
    TImageGraphic& operator=(const TImageGraphic&) = delete;

    // Every reader names its own class and loads its own format.
    const TGraphicClass& ClassType() const override = 0;
    void LoadFromStream(TStream& stream) override = 0;

    // Class-level signature tests. Each reader declares its own static CanReadStream and
    // CanReadFile (the latter calling the helper below with its CanReadStream); the base
    // reads nothing.
    //
    // CanReadStream contract: true only when strictly more than the format's minimum number
    // of bytes remain after the current position and the signature matches; the stream is
    // left where it was, and short data answers false without raising.
    static bool CanReadStream(TStream& stream);
    // Opens the file for reading (others may read, not write), runs the test, closes the file
    // also when the test raises. A file that cannot be opened raises EFOpenError.
    static bool CanReadFile(const std::string& fileName, bool (*canReadStream)(TStream&));
    static bool CanReadFile(const std::string& fileName, const TGraphicClass& readerClass);

    // Reads the header of image imageIndex (0 = the first) into Properties and answers
    // whether the data is of this format. The base clears Properties (Gamma 1.0) and answers
    // false; every reader calls it first.
    virtual bool ReadProperties(TStream& stream, uint32_t imageIndex);

    // From another reader the properties are copied as well; then the bitmap is assigned.
    void Assign(const TGraphic& source) override;

    TImageProperties Properties;

protected:
    // Reads count bytes at the current position without moving it, when more than
    // minimumSize bytes remain; the CanReadStream helper of readers with a signature.
    static bool PeekSignature(TStream& stream, int64_t minimumSize, void* buffer, int64_t count);

    // A phase of work: psStarting with the message, 0 percent, no redraw.
    void StartProgress(const std::string& message);
    // After row y of height rows: psRunning with y * 100 / height percent, redraw, no
    // message; then ProgressArea moves down one row.
    void RowProgress(int32_t y, int32_t height);
    // psEnding, 0 percent, no redraw, no message.
    void EndProgress();

    TColorManager ColorConverter;
    uint32_t StartOffset = 0;     // stream position where the current load started
    TStream* LoadStream = nullptr;  // the stream being loaded, for readers that keep it; not owned
    TRect ProgressArea;
};
