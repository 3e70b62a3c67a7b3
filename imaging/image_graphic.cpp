#include "image_graphic.h"

#include <algorithm>
#include <cstring>

#include "streams.h"
#include "strutils.h"

void GraphicError(const std::string& message) { throw EInvalidGraphic(message); }

void ByteSwap16Array(void* values, size_t count) {
    uint8_t* p = static_cast<uint8_t*>(values);
    for (size_t i = 0; i < count; ++i, p += 2) std::swap(p[0], p[1]);
}

void ByteSwap32Array(void* values, size_t count) {
    uint8_t* p = static_cast<uint8_t*>(values);
    for (size_t i = 0; i < count; ++i, p += 4) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        v = ByteSwap32(v);
        std::memcpy(p, &v, sizeof v);
    }
}

TStreamPositionGuard::TStreamPositionGuard(TStream& stream) : FStream(stream), FPosition(stream.Position()) {}

TStreamPositionGuard::~TStreamPositionGuard() {
    try {
        FStream.SetPosition(FPosition);
    } catch (...) {
        // A stream that cannot seek back has nothing better to offer; never raise here.
    }
}

bool TImageGraphic::CanReadStream(TStream&) { return false; }

bool TImageGraphic::CanReadFile(const std::string& fileName, bool (*canReadStream)(TStream&)) {
    if (canReadStream == nullptr) return false;
    TFileStream stream(fileName, TFileMode::fmOpenRead);
    return canReadStream(stream);
}

bool TImageGraphic::CanReadFile(const std::string& fileName, const TGraphicClass& readerClass) {
    return CanReadFile(fileName, readerClass.CanReadStream);
}

bool TImageGraphic::PeekSignature(TStream& stream, int64_t minimumSize, void* buffer, int64_t count) {
    if (stream.Remaining() <= minimumSize) return false;
    TStreamPositionGuard guard(stream);
    return stream.Read(buffer, count) == count;
}

bool TImageGraphic::ReadProperties(TStream&, uint32_t) {
    Properties = TImageProperties{};
    Properties.Gamma = 1.0f;
    return false;
}

void TImageGraphic::Assign(const TGraphic& source) {
    if (auto* reader = dynamic_cast<const TImageGraphic*>(&source)) {
        if (reader != this) Properties = reader->Properties;
    }
    TBitmap::Assign(source);
}

void TImageGraphic::StartProgress(const std::string& message) {
    Progress(this, psStarting, 0, false, ProgressArea, message);
}

void TImageGraphic::RowProgress(int32_t y, int32_t height) {
    const int32_t percent = height > 0 ? std::clamp(MulDiv(y, 100, height), 0, 100) : 0;
    Progress(this, psRunning, static_cast<uint8_t>(percent), true, ProgressArea, std::string());
    ProgressArea.Top += 1;
    ProgressArea.Bottom += 1;
}

void TImageGraphic::EndProgress() { Progress(this, psEnding, 0, false, ProgressArea, std::string()); }
