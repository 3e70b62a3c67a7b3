// The WMF and EMF record players and the bounded record reading they share. Internal to the
// metafile classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "metafile_canvas.h"

// Thrown by a record reader that would leave its record; the player stops the drawing there.
struct TMalformedRecord {};

// Little-endian reads inside one record; every read is checked against the record's size.
class TRecordView {
public:
    TRecordView(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    size_t Size() const { return FSize; }
    bool Has(size_t offset, size_t count) const { return offset <= FSize && count <= FSize - offset; }
    const uint8_t* Bytes(size_t offset, size_t count) const {
        if (!Has(offset, count)) throw TMalformedRecord{};
        return FData + offset;
    }
    uint16_t U16(size_t o) const {
        const uint8_t* p = Bytes(o, 2);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    int16_t S16(size_t o) const { return static_cast<int16_t>(U16(o)); }
    uint32_t U32(size_t o) const {
        const uint8_t* p = Bytes(o, 4);
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
               (static_cast<uint32_t>(p[3]) << 24);
    }
    int32_t S32(size_t o) const { return static_cast<int32_t>(U32(o)); }
    float F32(size_t o) const {
        const uint32_t v = U32(o);
        float f;
        std::memcpy(&f, &v, sizeof f);
        return f;
    }

private:
    const uint8_t* FData;
    size_t FSize;
};

// One entry of a metafile's object table.
struct TMetaObject {
    enum TKind { okEmpty, okPen, okBrush, okPalette, okRegion, okFont, okOther } Kind = okEmpty;
    TMetaPen Pen;
    TMetaBrush Brush;
    std::shared_ptr<const std::vector<TColor>> Palette;
    std::shared_ptr<const TMetaRegion> Region;
    std::shared_ptr<const TMetaFont> Font;
};

// No drawing replays more records than this, whatever the file says.
constexpr int64_t MaxRecordsReplayed = int64_t{1} << 22;

// A colour reference as the records store it: red, green, blue and a flag byte; flag 1 picks
// an entry of the selected palette.
TColor ResolveColor(uint32_t colorRef, const TDCState& state);

// A logical palette object: a 16-bit entry count at countOffset, then four bytes an entry
// (red, green, blue, flags) from countOffset + 2.
TMetaObject PaletteObject(const TRecordView& r, size_t countOffset);

// A logical font object: height, width, escapement, orientation and weight of 4 bytes each
// (wide, EMF) or 2 (WMF) from `at`, then the italic, underline, strike-out and character set
// bytes, four more, and the face name of 32 characters, UTF-16 (wide) or 8-bit.
TMetaObject FontObject(const TRecordView& r, size_t at, bool wide);

// Replays the records that follow a WMF header (data starts at the first record).
void PlayWmf(const uint8_t* data, size_t size, uint16_t objectCount, TMetaCanvas& canvas);
// Replays an EMF, header record included.
void PlayEmf(const uint8_t* data, size_t size, uint32_t handleCount, TMetaCanvas& canvas);
