#include "autodesk.h"

#include <memory>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TAutodeskGraphic::Class = {
    "TAutodeskGraphic", [] { return std::unique_ptr<TGraphic>(new TAutodeskGraphic); },
    &TAutodeskGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "Autodesk";
constexpr int HeaderSize = 32;
constexpr uint16_t Signature = 0x9119;

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool TAutodeskGraphic::CanReadStream(TStream& stream) {
    uint8_t header[12];
    return PeekSignature(stream, HeaderSize, header, sizeof header) && Word(header) == Signature && header[10] == 8 &&
           header[11] == 0;
}

bool TAutodeskGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TAutodeskGraphic::CanReadStream);
}

bool TAutodeskGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    uint8_t header[HeaderSize] = {};
    stream.Read(header, 2);
    if (Word(header) != Signature) return false;
    stream.Read(header + 2, HeaderSize - 2);
    TImageProperties& p = Properties;
    p.PixelModel = pmIndexed;
    p.Width = Word(header + 2);
    p.Height = Word(header + 4);
    p.BitsPerSample = 8;
    p.SamplesPerPixel = 1;
    p.BitsPerPixel = 8;
    p.Compression = ckNone;
    return true;
}

void TAutodeskGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    if (!ReadProperties(stream, 0)) GraphicErrorFmt(gesInvalidImage, FormatWord);
    stream.SetPosition(start);
    // The bitmap is still empty here, so the area starts 0 pixels wide.
    ProgressArea = TRect{0, 0, Width(), 1};
    StartProgress(gesTransfering);

    uint8_t header[HeaderSize] = {};
    stream.Read(header, HeaderSize);
    uint8_t colors[256 * 3] = {};
    stream.Read(colors, sizeof colors);
    TPalette palette(256);
    for (int i = 0; i < 256; ++i)
        palette[i] = TPaletteEntry{uint8_t(colors[3 * i] << 2), uint8_t(colors[3 * i + 1] << 2),
                                   uint8_t(colors[3 * i + 2] << 2), 0};

    SetPixelFormat(pf8bit);
    SetPalette(palette);
    const int32_t width = Word(header + 2);
    const int32_t height = Word(header + 4);
    SetSize(width, height);
    for (int32_t y = 0; width > 0 && y < height; ++y) {
        stream.Read(ScanLine(y), width);
        RowProgress(y, height);
    }
    EndProgress();
}
