#include "metafile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "exceptions.h"
#include "metafile_canvas.h"
#include "metafile_players.h"
#include "streams.h"

const TGraphicClass TMetafile::Class = {"TMetafile", [] { return std::unique_ptr<TGraphic>(new TMetafile); }};

namespace {

constexpr uint32_t PlaceableKey = 0x9AC6CDD7;
constexpr uint32_t EmfSignature = 0x464D4520;  // " EMF"
constexpr size_t WmfHeaderSize = 18, PlaceableHeaderSize = 22, EmfMinHeaderSize = 88;
constexpr uint16_t WmfSetWindowOrg = 0x020B, WmfSetWindowExt = 0x020C;
constexpr uint32_t EmfEof = 14;

[[noreturn]] void Invalid() { throw EInvalidGraphic(SInvalidMetafile); }

uint16_t U16(const std::vector<uint8_t>& d, size_t o) { return static_cast<uint16_t>(d[o] | (d[o + 1] << 8)); }
int16_t S16(const std::vector<uint8_t>& d, size_t o) { return static_cast<int16_t>(U16(d, o)); }
uint32_t U32(const std::vector<uint8_t>& d, size_t o) { return U16(d, o) | (static_cast<uint32_t>(U16(d, o + 2)) << 16); }
int32_t S32(const std::vector<uint8_t>& d, size_t o) { return static_cast<int32_t>(U32(d, o)); }

// A length in some unit as pixels at 96 per inch, rounded to nearest; at least one pixel.
int32_t ToPixels(int64_t length, int64_t unitsPerInch) {
    const int64_t px = (length * 96 + unitsPerInch / 2) / unitsPerInch;
    if (px > INT32_MAX) Invalid();
    return static_cast<int32_t>(std::max<int64_t>(px, 1));
}

// Walks the record chain from `pos` to the end record. A record that claims more than the file
// holds, or too little to be a record at all (one that could never be stepped over), makes
// the file invalid; a file that simply stops between records is drawn as far as it goes.
void CheckRecordChain(const std::vector<uint8_t>& d, size_t pos, bool enhanced) {
    const size_t headSize = enhanced ? 8 : 6;
    for (int64_t n = 0; n < MaxRecordsReplayed && d.size() - pos >= headSize; ++n) {
        uint64_t length;
        if (enhanced) {
            length = U32(d, pos + 4);
            if (length < 8) Invalid();
            if (U32(d, pos) == EmfEof) return;
        } else {
            if (U16(d, pos + 4) == 0) return;  // the end record
            length = uint64_t{U32(d, pos)} * 2;
            if (length < 6) Invalid();
        }
        if (length > d.size() - pos) Invalid();
        pos += static_cast<size_t>(length);
    }
}

bool IsWmfHeader(const std::vector<uint8_t>& d, size_t o) {
    return d.size() >= o + WmfHeaderSize && (U16(d, o) == 1 || U16(d, o) == 2) && U16(d, o + 2) == 9;
}

}  // namespace

void TMetafile::LoadFromStream(TStream& stream) {
    const int64_t available = stream.Remaining();
    // Nothing is allocated beyond what the stream holds, nor beyond the program's one bound.
    if (available < static_cast<int64_t>(WmfHeaderSize) || available > MaxBitmapBytes) Invalid();
    std::vector<uint8_t> data(static_cast<size_t>(available));
    stream.ReadBuffer(data.data(), available);

    TMetafile loaded;
    loaded.FData = std::move(data);
    const std::vector<uint8_t>& d = loaded.FData;
    if (U32(d, 0) == PlaceableKey) {
        loaded.LoadWmf(PlaceableHeaderSize);
    } else if (d.size() >= EmfMinHeaderSize && U32(d, 0) == 1 && U32(d, 40) == EmfSignature) {
        loaded.LoadEmf();
    } else if (IsWmfHeader(d, 0)) {
        loaded.LoadWmf(0);
    } else {
        Invalid();
    }
    CheckRecordChain(loaded.FData, loaded.FEnhanced ? 0 : loaded.FRecordsStart, loaded.FEnhanced);
    loaded.LimitPictureSize();
    FData = std::move(loaded.FData);
    FEnhanced = loaded.FEnhanced;
    FWidth = loaded.FWidth, FHeight = loaded.FHeight;
    FFrameLeft = loaded.FFrameLeft, FFrameTop = loaded.FFrameTop;
    FFrameRight = loaded.FFrameRight, FFrameBottom = loaded.FFrameBottom;
    FDevicePerMmX = loaded.FDevicePerMmX, FDevicePerMmY = loaded.FDevicePerMmY;
    FRecordsStart = loaded.FRecordsStart;
    FObjectCount = loaded.FObjectCount;
}

void TMetafile::LoadWmf(size_t start) {
    const std::vector<uint8_t>& d = FData;
    if (!IsWmfHeader(d, start)) Invalid();
    FEnhanced = false;
    FObjectCount = U16(d, start + 10);
    FRecordsStart = start + WmfHeaderSize;
    if (start == PlaceableHeaderSize) {
        // The bounding box is in units of which `inch` make an inch; the checksum is not
        // checked, since a wrong one harms nothing.
        const int16_t left = S16(d, 6), top = S16(d, 8), right = S16(d, 10), bottom = S16(d, 12);
        const uint16_t inch = U16(d, 14);
        if (inch == 0 || left == right || top == bottom) Invalid();
        FWidth = ToPixels(std::abs(int32_t{right} - left), inch);
        FHeight = ToPixels(std::abs(int32_t{bottom} - top), inch);
        FFrameLeft = left, FFrameTop = top, FFrameRight = right, FFrameBottom = bottom;
        FDevicePerMmX = FDevicePerMmY = inch / 25.4;
        return;
    }
    // A plain WMF names no unit: its window extent, one unit to a pixel, is the picture.
    bool haveOrg = false, haveExt = false;
    double orgX = 0, orgY = 0, extX = 0, extY = 0;
    size_t pos = FRecordsStart;
    for (int64_t n = 0; n < MaxRecordsReplayed && d.size() - pos >= 6 && !(haveOrg && haveExt); ++n) {
        const uint32_t words = U32(d, pos);
        const uint16_t function = U16(d, pos + 4);
        if (function == 0 || words < 3 || words > (d.size() - pos) / 2) break;
        if ((function == WmfSetWindowOrg || function == WmfSetWindowExt) && words >= 5) {
            const double y = S16(d, pos + 6), x = S16(d, pos + 8);
            if (function == WmfSetWindowOrg && !haveOrg) orgX = x, orgY = y, haveOrg = true;
            if (function == WmfSetWindowExt && !haveExt && x != 0 && y != 0) extX = x, extY = y, haveExt = true;
        }
        pos += size_t{words} * 2;
    }
    if (!haveExt) Invalid();
    FWidth = static_cast<int32_t>(std::fabs(extX));
    FHeight = static_cast<int32_t>(std::fabs(extY));
    FFrameLeft = orgX, FFrameTop = orgY, FFrameRight = orgX + extX, FFrameBottom = orgY + extY;
    FDevicePerMmX = FDevicePerMmY = 96 / 25.4;
}

void TMetafile::LoadEmf() {
    const std::vector<uint8_t>& d = FData;
    const uint32_t headerSize = U32(d, 4), bytes = U32(d, 48);
    if (headerSize < EmfMinHeaderSize || headerSize > bytes || bytes > d.size()) Invalid();
    FData.resize(bytes);
    FEnhanced = true;
    FObjectCount = U16(d, 56);
    const int64_t boundsL = S32(d, 8), boundsT = S32(d, 12), boundsR = S32(d, 16), boundsB = S32(d, 20);
    const int64_t frameL = S32(d, 24), frameT = S32(d, 28), frameR = S32(d, 32), frameB = S32(d, 36);
    const int32_t devX = S32(d, 72), devY = S32(d, 76), mmX = S32(d, 80), mmY = S32(d, 84);
    if (devX <= 0 || devY <= 0 || mmX <= 0 || mmY <= 0) Invalid();
    FDevicePerMmX = static_cast<double>(devX) / mmX;
    FDevicePerMmY = static_cast<double>(devY) / mmY;
    if (frameR > frameL && frameB > frameT) {
        FWidth = ToPixels(frameR - frameL + 1, 2540);
        FHeight = ToPixels(frameB - frameT + 1, 2540);
        FFrameLeft = frameL / 100.0 * FDevicePerMmX, FFrameRight = (frameR + 1) / 100.0 * FDevicePerMmX;
        FFrameTop = frameT / 100.0 * FDevicePerMmY, FFrameBottom = (frameB + 1) / 100.0 * FDevicePerMmY;
        // Some writers put the frame where nothing is drawn. When most of the ink that the
        // bounds record lies outside the frame, the bounds are placed on the picture instead,
        // so that the drawing shows rather than an empty picture of the right size.
        if (boundsR >= boundsL && boundsB >= boundsT) {
            const double bl = boundsL, bt = boundsT, br = boundsR + 1.0, bb = boundsB + 1.0;
            const double ow = std::min(br, FFrameRight) - std::max(bl, FFrameLeft);
            const double oh = std::min(bb, FFrameBottom) - std::max(bt, FFrameTop);
            const double inside = ow > 0 && oh > 0 ? ow * oh : 0;
            if (inside < (br - bl) * (bb - bt) / 2)
                FFrameLeft = bl, FFrameTop = bt, FFrameRight = br, FFrameBottom = bb;
        }
    } else if (boundsR >= boundsL && boundsB >= boundsT) {
        if (boundsR - boundsL >= INT32_MAX || boundsB - boundsT >= INT32_MAX) Invalid();
        FWidth = static_cast<int32_t>(boundsR - boundsL + 1);
        FHeight = static_cast<int32_t>(boundsB - boundsT + 1);
        FFrameLeft = boundsL, FFrameTop = boundsT, FFrameRight = boundsR + 1, FFrameBottom = boundsB + 1;
    } else {
        Invalid();
    }
}

void TMetafile::LimitPictureSize() {
    const int32_t longer = std::max(FWidth, FHeight);
    if (longer <= MaxPictureSide) return;
    const double scale = static_cast<double>(MaxPictureSide) / longer;
    FWidth = std::max(1, static_cast<int32_t>(std::lround(FWidth * scale)));
    FHeight = std::max(1, static_cast<int32_t>(std::lround(FHeight * scale)));
}

void TMetafile::Draw(TBitmap& target, int32_t x, int32_t y) const {
    if (FData.empty() || FWidth <= 0 || FHeight <= 0 || target.Width() == 0 || target.Height() == 0 ||
        target.PixelFormat() == pfCustom)
        return;
    const int64_t right = std::min<int64_t>(int64_t{x} + FWidth, INT32_MAX);
    const int64_t bottom = std::min<int64_t>(int64_t{y} + FHeight, INT32_MAX);
    const TRect picture{x, y, static_cast<int32_t>(right), static_cast<int32_t>(bottom)};
    // Every pixel may be painted many times over, but not without end: real drawings spend
    // about twice their area, hostile ones are stopped at 64 times it.
    const int64_t area = int64_t{std::min(target.Width(), FWidth)} * std::min(target.Height(), FHeight);
    TMetaRaster raster(target, picture, area * 64 + (int64_t{1} << 24));

    const double sx = FWidth / (FFrameRight - FFrameLeft), sy = FHeight / (FFrameBottom - FFrameTop);
    const TAffine deviceToTarget{sx, 0, 0, sy, x - FFrameLeft * sx, y - FFrameTop * sy};
    TMetaCanvas canvas(raster, deviceToTarget, FDevicePerMmX, FDevicePerMmY);
    try {
        if (FEnhanced) {
            PlayEmf(FData.data(), FData.size(), FObjectCount, canvas);
        } else {
            // The window starts as the frame and the viewport stays on it, so that the
            // window the file sets is what fills the picture.
            canvas.SetMapMode(mmAnisotropic);
            canvas.SetWindowOrg(FFrameLeft, FFrameTop);
            canvas.SetWindowExt(FFrameRight - FFrameLeft, FFrameBottom - FFrameTop);
            canvas.SetViewportOrg(FFrameLeft, FFrameTop);
            canvas.SetViewportExt(FFrameRight - FFrameLeft, FFrameBottom - FFrameTop);
            PlayWmf(FData.data() + FRecordsStart, FData.size() - FRecordsStart, static_cast<uint16_t>(FObjectCount),
                    canvas);
        }
    } catch (const std::exception&) {
        // Drawing never fails: what was drawn stays, the rest is left out.
    }
}
