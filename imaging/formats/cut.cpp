#include "cut.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TCUTGraphic::Class = {
    "TCUTGraphic", [] { return std::unique_ptr<TGraphic>(new TCUTGraphic); }, &TCUTGraphic::CanReadStream};

namespace {

constexpr int HeaderSize = 6;
constexpr size_t PaletteBlockSize = 512;
constexpr size_t FirstEntryOffset = 40;
constexpr size_t LastEntryStart = 506;  // an entry starting beyond this goes to the next block

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The file name with its extension replaced (or, without one, extended) by ext.
std::string WithExtension(const std::string& fileName, const char* ext) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? fileName.substr(0, dot) : fileName) + ext;
}

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCUTRLEDecoder

void TCUTRLEDecoder::Decode(const uint8_t*& source, uint8_t*& dest, int32_t inputSize, int32_t outputSize) {
    const uint8_t* src = source;
    const uint8_t* const end = src + std::max(inputSize, 0);
    uint8_t* dst = dest;
    size_t room = static_cast<size_t>(std::max(outputSize, 0));
    src += std::min<ptrdiff_t>(2, end - src);
    while (src < end) {
        const uint8_t b = *src++;
        if (b == 0) break;
        const size_t n = b & 0x7Fu;
        if (b & 0x80) {
            if (src == end) break;
            const size_t k = std::min(n, room);
            std::memset(dst, *src++, k);
            dst += k;
            room -= k;
        } else {
            const size_t given = std::min(n, static_cast<size_t>(end - src));
            const size_t k = std::min(given, room);
            std::memcpy(dst, src, k);
            dst += k;
            room -= k;
            src += given;
        }
    }
    source = src;
}

// ---------------------------------------------------------------------------------------------
// TCUTGraphic

bool TCUTGraphic::CanReadStream(TStream&) { return false; }

bool TCUTGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TCUTGraphic::CanReadStream);
}

bool TCUTGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    SetPixelFormat(pf8bit);
    uint8_t size[4];
    stream.ReadBuffer(size, sizeof size);
    TImageProperties& p = Properties;
    p.Width = Word(size);
    p.Height = Word(size + 2);
    p.PixelModel = pmIndexed;
    p.BitsPerSample = 8;
    p.SamplesPerPixel = 1;
    p.BitsPerPixel = 8;
    p.Compression = ckRLE;
    return true;
}

void TCUTGraphic::LoadFromFile(const std::string& fileName) {
    struct TForget {
        std::string& Name;
        ~TForget() { Name.clear(); }
    } forget{FPaletteFileName};
    FPaletteFileName = WithExtension(fileName, ".pal");
    TImageGraphic::LoadFromFile(fileName);
}

TPalette TCUTGraphic::LoadPalette() const {
    std::string path = FPaletteFileName;
    if (!path.empty() && !IsRegularFile(path)) path = WithExtension(path, ".PAL");
    if (!IsRegularFile(path)) {
        TPalette ramp(256);
        for (int i = 0; i < 256; ++i) ramp[i] = TPaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0};
        return ramp;
    }
    TFileStream file(path, TFileMode::fmOpenRead);
    uint8_t block[PaletteBlockSize];
    file.ReadBuffer(block, PaletteBlockSize);
    // The palette holds 256 entries; a file that declares more gives its first 256.
    const int count = std::min(Word(block + 12) + 1, TPalette::MaxEntries);
    TPalette palette(count);
    size_t at = FirstEntryOffset;
    for (int i = 0; i < count; ++i, at += 6) {
        if (at > LastEntryStart) {
            file.ReadBuffer(block, PaletteBlockSize);
            at = 0;
        }
        palette[i] = TPaletteEntry{block[at], block[at + 2], block[at + 4], 0};
    }
    return palette;
}

void TCUTGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    ReadProperties(stream, 0);
    stream.SetPosition(start + HeaderSize);
    ProgressArea = TRect{0, 0, Properties.Width, 0};
    StartProgress(gesTransfering);

    const int32_t width = Properties.Width;
    const int32_t height = Properties.Height;
    SetPixelFormat(pf8bit);
    SetSize(width, height);
    SetPalette(LoadPalette());

    std::vector<uint8_t> data(static_cast<size_t>(std::max<int64_t>(stream.Remaining(), 0)));
    data.resize(static_cast<size_t>(std::max<int64_t>(stream.Read(data.data(), static_cast<int64_t>(data.size())), 0)));
    TCUTRLEDecoder decoder;
    decoder.BeginDecode();
    const uint8_t* source = data.data();
    const uint8_t* const end = data.data() + data.size();
    for (int32_t y = 0; width > 0 && y < height; ++y) {
        uint8_t* row = ScanLine(y);
        decoder.Decode(source, row, static_cast<int32_t>(std::min<ptrdiff_t>(end - source, INT32_MAX)), width);
        Progress(this, psRunning, static_cast<uint8_t>(y * 100 / height), true, ProgressArea, std::string());
        ProgressArea.Top += 1;
        ProgressArea.Bottom += 1;
    }
    decoder.EndDecode();
    EndProgress();
}
