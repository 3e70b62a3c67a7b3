#include "eps.h"

#include <cstdint>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TEPSGraphic::Class = {
    "TEPSGraphic", [] { return std::unique_ptr<TGraphic>(new TEPSGraphic); }, &TEPSGraphic::CanReadStream};

namespace {

constexpr const char* FormatWord = "EPS";
constexpr int64_t HeaderSize = 30;
constexpr uint32_t Signature = 0xC6D3D0C5;

int32_t Long(const uint8_t* p) {
    return static_cast<int32_t>(p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24));
}

}  // namespace

bool TEPSGraphic::CanReadStream(TStream& stream) {
    uint8_t h[HeaderSize];
    if (!PeekSignature(stream, HeaderSize, h, HeaderSize)) return false;
    const int32_t position = static_cast<int32_t>(stream.Position());
    return static_cast<uint32_t>(Long(h)) == Signature && position + HeaderSize < Long(h + 20) && Long(h + 24) > 0;
}

bool TEPSGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TEPSGraphic::CanReadStream);
}

void TEPSGraphic::LoadFromStream(TStream& stream) {
    uint8_t h[HeaderSize];
    stream.ReadBuffer(h, HeaderSize);
    if (static_cast<uint32_t>(Long(h)) != Signature) GraphicErrorFmt(gesInvalidImage, FormatWord);
    stream.Seek(int64_t{Long(h + 20)} - HeaderSize, TSeekOrigin::soCurrent);
    TTIFFGraphic::LoadFromStream(stream);
}
