// EMF records: 32-bit little-endian fields; offsets below count from the start of the record,
// its type and size included, as the bitmap offsets inside the records do.
#include <algorithm>
#include <cmath>

#include "metafile_players.h"

namespace {

enum : uint32_t {
    EMR_HEADER = 1, EMR_POLYBEZIER = 2, EMR_POLYGON = 3, EMR_POLYLINE = 4, EMR_POLYBEZIERTO = 5,
    EMR_POLYLINETO = 6, EMR_POLYPOLYLINE = 7, EMR_POLYPOLYGON = 8, EMR_SETWINDOWEXTEX = 9,
    EMR_SETWINDOWORGEX = 10, EMR_SETVIEWPORTEXTEX = 11, EMR_SETVIEWPORTORGEX = 12, EMR_EOF = 14,
    EMR_SETPIXELV = 15, EMR_SETMAPMODE = 17, EMR_SETBKMODE = 18, EMR_SETPOLYFILLMODE = 19, EMR_SETROP2 = 20,
    EMR_SETTEXTALIGN = 22, EMR_SETTEXTCOLOR = 24, EMR_SETBKCOLOR = 25, EMR_OFFSETCLIPRGN = 26,
    EMR_MOVETOEX = 27, EMR_EXCLUDECLIPRECT = 29, EMR_INTERSECTCLIPRECT = 30, EMR_SCALEVIEWPORTEXTEX = 31,
    EMR_SCALEWINDOWEXTEX = 32, EMR_SAVEDC = 33, EMR_RESTOREDC = 34, EMR_SETWORLDTRANSFORM = 35,
    EMR_MODIFYWORLDTRANSFORM = 36, EMR_SELECTOBJECT = 37, EMR_CREATEPEN = 38, EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40, EMR_ANGLEARC = 41, EMR_ELLIPSE = 42, EMR_RECTANGLE = 43, EMR_ROUNDRECT = 44,
    EMR_ARC = 45, EMR_CHORD = 46, EMR_PIE = 47, EMR_SELECTPALETTE = 48, EMR_CREATEPALETTE = 49, EMR_LINETO = 54,
    EMR_ARCTO = 55, EMR_POLYDRAW = 56, EMR_SETARCDIRECTION = 57, EMR_BEGINPATH = 59, EMR_ENDPATH = 60,
    EMR_CLOSEFIGURE = 61, EMR_FILLPATH = 62, EMR_STROKEANDFILLPATH = 63, EMR_STROKEPATH = 64,
    EMR_SELECTCLIPPATH = 67, EMR_ABORTPATH = 68, EMR_FILLRGN = 71, EMR_FRAMERGN = 72, EMR_INVERTRGN = 73,
    EMR_PAINTRGN = 74, EMR_EXTSELECTCLIPRGN = 75, EMR_BITBLT = 76, EMR_STRETCHBLT = 77, EMR_MASKBLT = 78,
    EMR_PLGBLT = 79, EMR_SETDIBITSTODEVICE = 80, EMR_STRETCHDIBITS = 81, EMR_EXTCREATEFONTINDIRECTW = 82,
    EMR_EXTTEXTOUTA = 83, EMR_EXTTEXTOUTW = 84, EMR_POLYBEZIER16 = 85, EMR_POLYGON16 = 86, EMR_POLYLINE16 = 87,
    EMR_POLYBEZIERTO16 = 88, EMR_POLYLINETO16 = 89, EMR_POLYPOLYLINE16 = 90, EMR_POLYPOLYGON16 = 91,
    EMR_POLYDRAW16 = 92, EMR_CREATEMONOBRUSH = 93, EMR_CREATEDIBPATTERNBRUSHPT = 94, EMR_EXTCREATEPEN = 95,
    EMR_POLYTEXTOUTA = 96, EMR_POLYTEXTOUTW = 97, EMR_SMALLTEXTOUT = 108, EMR_ALPHABLEND = 114,
    EMR_TRANSPARENTBLT = 116, EMR_GRADIENTFILL = 118,
};

constexpr uint32_t StockObjectFlag = 0x80000000u;
constexpr size_t MaxHandles = 65536;
constexpr uint32_t MaxUserStyleEntries = 16;
constexpr uint32_t EtoNoRect = 0x100, EtoSmallChars = 0x200;
constexpr size_t EmrTextSize = 40;

class TEmfPlayer {
public:
    TEmfPlayer(TMetaCanvas& canvas, uint32_t handleCount)
        : FCanvas(canvas), FState(canvas.State()),
          FObjects(std::clamp<size_t>(handleCount, 1, MaxHandles)) {}

    void Play(uint32_t type, const TRecordView& r);

private:
    // Points of 32-bit (wide) or 16-bit coordinates; the run must lie in the record.
    TPolygonF Points(const TRecordView& r, size_t offset, size_t count, bool wide) const;
    TMetaObject* Object(uint32_t index) { return index < FObjects.size() ? &FObjects[index] : nullptr; }
    void Store(uint32_t index, TMetaObject object) {
        if (TMetaObject* o = Object(index)) *o = std::move(object);
    }
    void Select(uint32_t index);
    // Selects a brush for one record; false when the index names no brush.
    bool UseBrush(uint32_t index);
    void PolyPoly(const TRecordView& r, bool wide, bool polygons);
    TMetaRegion RegionOf(const TRecordView& r, size_t offset, size_t size) const;
    bool Dib(const TRecordView& r, size_t infoAt, size_t bitsAt, uint32_t usage, TMetaDib& dib) const;
    void Blit(const TRecordView& r, uint32_t type);
    void GradientFill(const TRecordView& r);
    // The string described at `at`: reference point, count, string offset, options,
    // rectangle and advances offset.
    TMetaText Text(const TRecordView& r, size_t at, bool wide) const;
    void SmallText(const TRecordView& r);
    std::vector<TColor> Palette() const { return FState.Palette ? *FState.Palette : std::vector<TColor>{}; }

    TMetaCanvas& FCanvas;
    TDCState& FState;
    std::vector<TMetaObject> FObjects;
};

TPolygonF TEmfPlayer::Points(const TRecordView& r, size_t offset, size_t count, bool wide) const {
    const size_t step = wide ? 8 : 4;
    if (count > r.Size() / step) throw TMalformedRecord{};
    r.Bytes(offset, count * step);
    TPolygonF pts(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t o = offset + i * step;
        pts[i] = wide ? TPointF{double(r.S32(o)), double(r.S32(o + 4))} : TPointF{double(r.S16(o)), double(r.S16(o + 2))};
    }
    return pts;
}

TMetaPen StockPen(int style, TColor color) {
    TMetaPen pen;
    pen.Style = style;
    pen.Color = color;
    pen.Cosmetic = true;
    return pen;
}

void TEmfPlayer::Select(uint32_t index) {
    if (index & StockObjectFlag) {
        const uint32_t stock = index & ~StockObjectFlag;
        static constexpr TColor Grays[5] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
        if (stock <= 4 || stock == 18) FState.Brush = MakeBrush(BrushStyleSolid, stock == 18 ? 0xFFFFFF : Grays[stock]);
        else if (stock == 5) FState.Brush = MakeBrush(BrushStyleNull, 0);
        else if (stock == 6) FState.Pen = StockPen(PenStyleSolid, 0xFFFFFF);
        else if (stock == 7 || stock == 19) FState.Pen = StockPen(PenStyleSolid, 0);
        else if (stock == 8) FState.Pen = StockPen(PenStyleNull, 0);
        else if (stock == 15) FState.Palette.reset();
        else if (stock >= 10 && stock <= 17) {
            // The fixed-pitch stock fonts (OEM, ANSI and system fixed) and the proportional ones.
            auto font = std::make_shared<TMetaFont>();
            if (stock == 10 || stock == 11 || stock == 16) font->Face = "Courier New";
            FState.Font = std::move(font);
        }
        return;
    }
    const TMetaObject* o = Object(index);
    if (!o) return;
    switch (o->Kind) {
        case TMetaObject::okPen: FState.Pen = o->Pen; break;
        case TMetaObject::okBrush: FState.Brush = o->Brush; break;
        case TMetaObject::okPalette: FState.Palette = o->Palette; break;
        case TMetaObject::okFont: FState.Font = o->Font; break;
        default: break;
    }
}

bool TEmfPlayer::UseBrush(uint32_t index) {
    if (index & StockObjectFlag) {
        const uint32_t stock = index & ~StockObjectFlag;
        if (stock > 5 && stock != 18) return false;
        Select(index);
        return true;
    }
    const TMetaObject* o = Object(index);
    if (!o || o->Kind != TMetaObject::okBrush) return false;
    FState.Brush = o->Brush;
    return true;
}

void TEmfPlayer::PolyPoly(const TRecordView& r, bool wide, bool polygons) {
    const uint32_t n = r.U32(24), total = r.U32(28);
    if (n > r.Size() / 4) throw TMalformedRecord{};
    r.Bytes(32, size_t{n} * 4);
    TPolygonF all = Points(r, 32 + size_t{n} * 4, total, wide);
    std::vector<TPolygonF> parts;
    size_t at = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t count = r.U32(32 + 4 * size_t{i});
        if (count > all.size() - at) throw TMalformedRecord{};
        parts.emplace_back(all.begin() + static_cast<ptrdiff_t>(at), all.begin() + static_cast<ptrdiff_t>(at + count));
        at += count;
    }
    if (polygons) FCanvas.Polygons(parts);
    else FCanvas.PolyPolyline(parts);
}

TMetaRegion TEmfPlayer::RegionOf(const TRecordView& r, size_t offset, size_t size) const {
    // A 32-byte header (size, type, count, bytes, bounds) and then the rectangles, in device units.
    TMetaRegion region;
    if (size < 32) return region;
    const TRecordView data(r.Bytes(offset, size), size);
    const uint32_t count = data.U32(8);
    if (count > (size - 32) / 16) throw TMalformedRecord{};
    for (uint32_t i = 0; i < count; ++i) {
        const size_t o = 32 + 16 * size_t{i};
        TMetaRegion piece(FCanvas.DeviceRectToTarget(data.S32(o), data.S32(o + 4), data.S32(o + 8), data.S32(o + 12)));
        FCanvas.Raster().Charge(static_cast<int64_t>(region.Rects().size()) + 1);
        if (FCanvas.Exhausted()) return region;
        region.Unite(piece);
    }
    return region;
}

bool TEmfPlayer::Dib(const TRecordView& r, size_t infoAt, size_t bitsAt, uint32_t usage, TMetaDib& dib) const {
    const uint32_t offInfo = r.U32(infoAt), sizeInfo = r.U32(infoAt + 4);
    const uint32_t offBits = r.U32(bitsAt), sizeBits = r.U32(bitsAt + 4);
    if (sizeInfo == 0) return false;
    const TDibColorUsage u = usage == 1 ? TDibColorUsage::PaletteIndices : TDibColorUsage::RgbColors;
    if (!DecodeDib(r.Bytes(offInfo, sizeInfo), sizeInfo, r.Bytes(offBits, sizeBits), sizeBits, u, Palette(), dib))
        return false;
    // Decoding is work whether or not the bitmap lands in the picture (a pixel decoded costs
    // less than one painted).
    FCanvas.Raster().Charge(int64_t{dib.Width} * dib.Height / 4);
    return true;
}

void TEmfPlayer::Blit(const TRecordView& r, uint32_t type) {
    const double x = r.S32(24), y = r.S32(28);
    TMetaDib dib;
    TBlitMode mode;
    switch (type) {
        case EMR_BITBLT:
        case EMR_STRETCHBLT: {
            const double w = r.S32(32), h = r.S32(36);
            mode.Rop = r.U32(40);
            if (r.U32(88) == 0) {  // no source bitmap: the brush alone
                FCanvas.PatBlt(x, y, w, h, mode.Rop);
                return;
            }
            if (!Dib(r, 84, 92, r.U32(80), dib)) return;
            const double sw = type == EMR_STRETCHBLT ? r.S32(100) : w, sh = type == EMR_STRETCHBLT ? r.S32(104) : h;
            FCanvas.StretchDib(dib, x, y, w, h, r.S32(44), r.S32(48), sw, sh, false, mode);
            return;
        }
        case EMR_STRETCHDIBITS:
            if (!Dib(r, 48, 56, r.U32(64), dib)) return;
            mode.Rop = r.U32(68);
            FCanvas.StretchDib(dib, x, y, r.S32(72), r.S32(76), r.S32(32), r.S32(36), r.S32(40), r.S32(44), true, mode);
            return;
        case EMR_SETDIBITSTODEVICE: {
            // The bitmap is not stretched: it covers as many device pixels as it has.
            if (r.U32(68) != 0 || !Dib(r, 48, 56, r.U32(64), dib)) return;
            const TPointF size = FCanvas.DeviceExtentToLogical(r.S32(40), r.S32(44));
            FCanvas.StretchDib(dib, x, y, size.X, size.Y, r.S32(32), r.S32(36), r.S32(40), r.S32(44), true, mode);
            return;
        }
        case EMR_MASKBLT: {
            // Where the mask is dark, the background operation in the rop's top byte applies.
            if (!Dib(r, 84, 92, r.U32(80), dib)) return;
            mode.Rop = r.U32(40);
            mode.BackRop = static_cast<uint8_t>(mode.Rop >> 24);
            TMetaDib mask;
            if (Dib(r, 112, 120, r.U32(108), mask)) {
                mode.Mask = &mask;
                mode.MaskOffset = {double(r.S32(100)) - r.S32(44), double(r.S32(104)) - r.S32(48)};
            }
            FCanvas.StretchDib(dib, x, y, r.S32(32), r.S32(36), r.S32(44), r.S32(48), r.S32(32), r.S32(36), false,
                               mode);
            return;
        }
        case EMR_PLGBLT: {
            if (!Dib(r, 96, 104, r.U32(92), dib)) return;
            const TPointF corners[3] = {{x, y}, {double(r.S32(32)), double(r.S32(36))},
                                        {double(r.S32(40)), double(r.S32(44))}};
            const double sx = r.S32(48), sy = r.S32(52);
            TMetaDib mask;
            if (Dib(r, 124, 132, r.U32(120), mask)) {
                mode.Mask = &mask;
                mode.MaskOffset = {double(r.S32(112)) - sx, double(r.S32(116)) - sy};
            }
            FCanvas.ParallelogramDib(dib, corners, sx, sy, r.S32(56), r.S32(60), mode);
            return;
        }
        case EMR_ALPHABLEND:
        case EMR_TRANSPARENTBLT: {
            if (!Dib(r, 84, 92, r.U32(80), dib)) return;
            const uint32_t v = r.U32(40);
            if (type == EMR_ALPHABLEND) {
                mode.Blend = true;
                mode.ConstantAlpha = static_cast<uint8_t>(v >> 16);
                mode.SourceAlpha = ((v >> 24) & 1) && dib.HasAlpha;
            } else {
                mode.Transparent = true;
                mode.TransparentColor = v & 0xFFFFFF;
            }
            FCanvas.StretchDib(dib, x, y, r.S32(32), r.S32(36), r.S32(44), r.S32(48), r.S32(100), r.S32(104), false,
                               mode);
            return;
        }
        default: return;
    }
}

TMetaText TEmfPlayer::Text(const TRecordView& r, size_t at, bool wide) const {
    TMetaText t;
    t.Reference = {double(r.S32(at)), double(r.S32(at + 4))};
    const uint32_t count = r.U32(at + 8), offString = r.U32(at + 12), offDx = r.U32(at + 36);
    t.Options = r.U32(at + 16);
    t.HasRect = true;
    for (size_t k = 0; k < 4; ++k) t.Rect[k] = r.S32(at + 20 + 4 * k);
    t.Wide = wide;
    if (count == 0) return t;
    const size_t unit = wide ? 2 : 1;
    if (count > r.Size() / unit) throw TMalformedRecord{};
    t.Chars = r.Bytes(offString, count * unit);
    t.Count = count;
    // Advances that do not fit the record are left out: the font's own take their place.
    const size_t step = t.Options & EtoPdy ? 8 : 4;
    if (offDx != 0 && count <= r.Size() / step && r.Has(offDx, count * step)) {
        t.Advances = r.Bytes(offDx, count * step);
        t.AdvanceBytes = static_cast<int>(step);
    }
    return t;
}

void TEmfPlayer::SmallText(const TRecordView& r) {
    TMetaText t;
    t.Reference = {double(r.S32(8)), double(r.S32(12))};
    const uint32_t count = r.U32(16);
    t.Options = r.U32(20);
    size_t at = 36;
    if (!(t.Options & EtoNoRect)) {
        t.HasRect = true;
        for (size_t k = 0; k < 4; ++k) t.Rect[k] = r.S32(at + 4 * k);
        at += 16;
    }
    t.Wide = !(t.Options & EtoSmallChars);
    const size_t unit = t.Wide ? 2 : 1;
    if (count > r.Size() / unit) throw TMalformedRecord{};
    t.Chars = r.Bytes(at, count * unit);
    t.Count = count;
    FCanvas.TextOut(t);
}

void TEmfPlayer::GradientFill(const TRecordView& r) {
    const uint32_t vertices = r.U32(24), count = r.U32(28), mode = r.U32(32);
    if (mode > 2) return;
    // Rectangles name two vertices, triangles three.
    const size_t corners = mode == 2 ? 3 : 2;
    if (vertices > r.Size() / 16 || count > r.Size() / (4 * corners)) throw TMalformedRecord{};
    r.Bytes(36, size_t{vertices} * 16 + size_t{count} * 4 * corners);
    auto vertex = [&](uint32_t i, double& vx, double& vy, double rgb[3]) {
        if (i >= vertices) throw TMalformedRecord{};
        const size_t o = 36 + 16 * size_t{i};
        vx = r.S32(o), vy = r.S32(o + 4);
        for (int k = 0; k < 3; ++k) rgb[k] = r.U16(o + 8 + 2 * size_t(k)) / 256.0;
    };
    const TMetaBrush savedBrush = FState.Brush;
    const TMetaPen savedPen = FState.Pen;
    FState.Pen.Style = PenStyleNull;
    for (uint32_t g = 0; g < count && !FCanvas.Exhausted(); ++g) {
        const size_t o = 36 + 16 * size_t{vertices} + 4 * corners * size_t{g};
        if (mode == 2) {
            TPointF p[3];
            double rgb[3][3];
            for (size_t k = 0; k < 3; ++k) vertex(r.U32(o + 4 * k), p[k].X, p[k].Y, rgb[k]);
            FCanvas.Raster().Charge(16);
            FCanvas.ShadeTriangle(p, rgb);
            continue;
        }
        double x0, y0, x1, y1, c0[3], c1[3];
        vertex(r.U32(o), x0, y0, c0);
        vertex(r.U32(o + 4), x1, y1, c1);
        // Strips about a pixel wide, each in its interpolated colour.
        const TAffine& m = FCanvas.Transform();
        const TPointF a = m.Apply({x0, y0}), b = m.Apply({x1, y1});
        const double span = mode == 0 ? std::fabs(b.X - a.X) : std::fabs(b.Y - a.Y);
        const int strips = std::isfinite(span) ? static_cast<int>(std::clamp(span, 1.0, 4096.0)) : 1;
        for (int s = 0; s < strips && !FCanvas.Exhausted(); ++s) {
            // Strips cost their work even where they fall outside the picture.
            FCanvas.Raster().Charge(16);
            const double t0 = double(s) / strips, t1 = double(s + 1) / strips, t = (s + 0.5) / strips;
            uint8_t rgb[3];
            for (int k = 0; k < 3; ++k) rgb[k] = static_cast<uint8_t>(std::clamp(c0[k] + (c1[k] - c0[k]) * t, 0.0, 255.0));
            FState.Brush = MakeBrush(BrushStyleSolid, RGBColor(rgb[0], rgb[1], rgb[2]));
            if (mode == 0) FCanvas.PatBlt(x0 + (x1 - x0) * t0, y0, (x1 - x0) * (t1 - t0), y1 - y0, 0x00F00021);
            else FCanvas.PatBlt(x0, y0 + (y1 - y0) * t0, x1 - x0, (y1 - y0) * (t1 - t0), 0x00F00021);
        }
    }
    FState.Brush = savedBrush;
    FState.Pen = savedPen;
}

void TEmfPlayer::Play(uint32_t type, const TRecordView& r) {
    TMetaCanvas& c = FCanvas;
    auto point = [&](size_t o) { return TPointF{double(r.S32(o)), double(r.S32(o + 4))}; };
    switch (type) {
        case EMR_POLYBEZIER:
        case EMR_POLYGON:
        case EMR_POLYLINE:
        case EMR_POLYBEZIERTO:
        case EMR_POLYLINETO:
        case EMR_POLYBEZIER16:
        case EMR_POLYGON16:
        case EMR_POLYLINE16:
        case EMR_POLYBEZIERTO16:
        case EMR_POLYLINETO16: {
            const bool wide = type < EMR_POLYBEZIER16;
            const uint32_t kind = wide ? type : type - (EMR_POLYBEZIER16 - EMR_POLYBEZIER);
            TPolygonF pts = Points(r, 28, r.U32(24), wide);
            switch (kind) {
                case EMR_POLYBEZIER: c.PolyBezier(pts, false); break;
                case EMR_POLYGON: c.Polygons({std::move(pts)}); break;
                case EMR_POLYLINE: c.Polyline(pts, false); break;
                case EMR_POLYBEZIERTO: c.PolyBezier(pts, true); break;
                default: c.Polyline(pts, true); break;
            }
            break;
        }
        case EMR_POLYPOLYLINE: PolyPoly(r, true, false); break;
        case EMR_POLYPOLYGON: PolyPoly(r, true, true); break;
        case EMR_POLYPOLYLINE16: PolyPoly(r, false, false); break;
        case EMR_POLYPOLYGON16: PolyPoly(r, false, true); break;
        case EMR_POLYDRAW:
        case EMR_POLYDRAW16: {
            const bool wide = type == EMR_POLYDRAW;
            const uint32_t count = r.U32(24);
            TPolygonF pts = Points(r, 28, count, wide);
            const uint8_t* t = r.Bytes(28 + size_t{count} * (wide ? 8 : 4), count);
            c.PolyDraw(pts, std::vector<uint8_t>(t, t + count));
            break;
        }
        case EMR_SETWINDOWEXTEX: c.SetWindowExt(r.S32(8), r.S32(12)); break;
        case EMR_SETWINDOWORGEX: c.SetWindowOrg(r.S32(8), r.S32(12)); break;
        case EMR_SETVIEWPORTEXTEX: c.SetViewportExt(r.S32(8), r.S32(12)); break;
        case EMR_SETVIEWPORTORGEX: c.SetViewportOrg(r.S32(8), r.S32(12)); break;
        case EMR_SCALEVIEWPORTEXTEX: c.ScaleViewportExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_SCALEWINDOWEXTEX: c.ScaleWindowExt(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_SETMAPMODE: c.SetMapMode(static_cast<int>(r.U32(8))); break;
        case EMR_SETBKMODE: FState.Opaque = r.U32(8) == 2; break;
        case EMR_SETPOLYFILLMODE: FState.Winding = r.U32(8) == 2; break;
        case EMR_SETROP2:
            if (r.U32(8) >= 1 && r.U32(8) <= 16) FState.Rop2 = static_cast<int>(r.U32(8));
            break;
        case EMR_SETBKCOLOR: FState.BkColor = ResolveColor(r.U32(8), FState); break;
        case EMR_SETTEXTCOLOR: FState.TextColor = ResolveColor(r.U32(8), FState); break;
        case EMR_SETTEXTALIGN: FState.TextAlign = r.U32(8); break;
        case EMR_SETARCDIRECTION: FState.Clockwise = r.U32(8) == 2; break;
        case EMR_SETPIXELV: c.SetPixel(point(8), ResolveColor(r.U32(16), FState)); break;
        case EMR_MOVETOEX: c.MoveTo(point(8)); break;
        case EMR_LINETO: c.LineTo(point(8)); break;
        case EMR_OFFSETCLIPRGN: c.OffsetClip(r.S32(8), r.S32(12)); break;
        case EMR_EXCLUDECLIPRECT: c.ExcludeClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_INTERSECTCLIPRECT: c.IntersectClipRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_SAVEDC: c.SaveDC(); break;
        case EMR_RESTOREDC: c.RestoreDC(r.S32(8)); break;
        case EMR_SETWORLDTRANSFORM:
        case EMR_MODIFYWORLDTRANSFORM: {
            const TAffine m{r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28)};
            if (type == EMR_SETWORLDTRANSFORM) c.SetWorldTransform(m);
            else c.ModifyWorldTransform(m, static_cast<int>(r.U32(32)));
            break;
        }
        case EMR_SELECTOBJECT:
        case EMR_SELECTPALETTE: Select(r.U32(8)); break;
        case EMR_DELETEOBJECT: Store(r.U32(8), TMetaObject{}); break;
        case EMR_CREATEPEN: {
            TMetaObject o;
            o.Kind = TMetaObject::okPen;
            o.Pen.Style = static_cast<int>(r.U32(12) & 0xF);
            o.Pen.Width = std::abs(static_cast<double>(r.S32(16)));
            o.Pen.Color = ResolveColor(r.U32(24), FState);
            Store(r.U32(8), std::move(o));
            break;
        }
        case EMR_EXTCREATEPEN: {
            TMetaObject o;
            o.Kind = TMetaObject::okPen;
            const uint32_t style = r.U32(28);
            o.Pen.Style = r.U32(36) == BrushStyleNull ? PenStyleNull : static_cast<int>(style & 0xF);
            o.Pen.Cosmetic = (style & 0xF0000) == 0;
            o.Pen.Geometric = !o.Pen.Cosmetic;
            o.Pen.Width = r.U32(32);
            if (o.Pen.Style == PenStyleUser) {
                // At most 16 entries make a style; a longer list is cut there.
                const uint32_t entries = std::min<uint32_t>(r.U32(48), MaxUserStyleEntries);
                for (uint32_t i = 0; i < entries; ++i) o.Pen.UserStyle.push_back(r.U32(52 + 4 * size_t{i}));
            }
            o.Pen.Color = ResolveColor(r.U32(40), FState);
            Store(r.U32(8), std::move(o));
            break;
        }
        case EMR_CREATEBRUSHINDIRECT: {
            TMetaObject o;
            o.Kind = TMetaObject::okBrush;
            const uint32_t style = r.U32(12);
            o.Brush.Style = style == BrushStyleNull || style == BrushStyleHatched ? static_cast<int>(style) : BrushStyleSolid;
            o.Brush.Color = ResolveColor(r.U32(16), FState);
            o.Brush.Hatch = static_cast<int>(r.U32(20));
            Store(r.U32(8), std::move(o));
            break;
        }
        case EMR_CREATEMONOBRUSH:
        case EMR_CREATEDIBPATTERNBRUSHPT: {
            TMetaObject o;
            o.Kind = TMetaObject::okBrush;
            o.Brush.Style = BrushStylePattern;
            o.Brush.Color = 0x808080;
            auto dib = std::make_shared<TMetaDib>();
            if (Dib(r, 16, 24, r.U32(12), *dib)) o.Brush.Pattern = std::move(dib);
            Store(r.U32(8), std::move(o));
            break;
        }
        case EMR_CREATEPALETTE: {
            Store(r.U32(8), PaletteObject(r, 14));
            break;
        }
        case EMR_EXTCREATEFONTINDIRECTW: Store(r.U32(8), FontObject(r, 12, true)); break;
        case EMR_EXTTEXTOUTA:
        case EMR_EXTTEXTOUTW: c.TextOut(Text(r, 36, type == EMR_EXTTEXTOUTW)); break;
        case EMR_POLYTEXTOUTA:
        case EMR_POLYTEXTOUTW: {
            const uint32_t strings = r.U32(36);
            if (strings > r.Size() / EmrTextSize) throw TMalformedRecord{};
            for (uint32_t i = 0; i < strings && !c.Exhausted(); ++i)
                c.TextOut(Text(r, 40 + EmrTextSize * i, type == EMR_POLYTEXTOUTW));
            break;
        }
        case EMR_SMALLTEXTOUT: SmallText(r); break;
        case EMR_ANGLEARC: c.AngleArc(point(8), r.U32(16), r.F32(20), r.F32(24)); break;
        case EMR_ELLIPSE: c.Ellipse(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_RECTANGLE: c.Rectangle(r.S32(8), r.S32(12), r.S32(16), r.S32(20)); break;
        case EMR_ROUNDRECT: c.RoundRect(r.S32(8), r.S32(12), r.S32(16), r.S32(20), r.S32(24), r.S32(28)); break;
        case EMR_ARC:
        case EMR_CHORD:
        case EMR_PIE:
        case EMR_ARCTO: {
            const TArcKind kind = type == EMR_ARC     ? TArcKind::Arc
                                  : type == EMR_CHORD ? TArcKind::Chord
                                  : type == EMR_PIE   ? TArcKind::Pie
                                                      : TArcKind::ArcTo;
            c.ArcShape(kind, r.S32(8), r.S32(12), r.S32(16), r.S32(20), point(24), point(32));
            break;
        }
        case EMR_BEGINPATH: c.BeginPath(); break;
        case EMR_ENDPATH: c.EndPath(); break;
        case EMR_CLOSEFIGURE: c.CloseFigure(); break;
        case EMR_FILLPATH: c.FillPath(); break;
        case EMR_STROKEANDFILLPATH: c.StrokeAndFillPath(); break;
        case EMR_STROKEPATH: c.StrokePath(); break;
        case EMR_ABORTPATH: c.AbortPath(); break;
        case EMR_SELECTCLIPPATH: c.SelectClipPath(static_cast<int>(r.U32(8))); break;
        case EMR_EXTSELECTCLIPRGN: {
            const uint32_t size = r.U32(8), mode = r.U32(12);
            if (size == 0) {
                c.SelectClipRegion(nullptr, static_cast<int>(mode));
            } else {
                const TMetaRegion region = RegionOf(r, 16, size);
                c.SelectClipRegion(&region, static_cast<int>(mode));
            }
            break;
        }
        case EMR_FILLRGN:
        case EMR_PAINTRGN:
        case EMR_INVERTRGN:
        case EMR_FRAMERGN: {
            const size_t at = type == EMR_FRAMERGN ? 40 : type == EMR_FILLRGN ? 32 : 28;
            const TMetaRegion region = RegionOf(r, at, r.U32(24));
            const TMetaBrush savedBrush = FState.Brush;
            if ((type == EMR_FILLRGN || type == EMR_FRAMERGN) && !UseBrush(r.U32(28))) break;
            if (type == EMR_FRAMERGN) c.FrameRegion(region, r.S32(32), r.S32(36));
            else c.PaintRegion(region, type == EMR_INVERTRGN ? 0x00550009 : 0x00F00021);
            FState.Brush = savedBrush;
            break;
        }
        case EMR_BITBLT:
        case EMR_STRETCHBLT:
        case EMR_STRETCHDIBITS:
        case EMR_SETDIBITSTODEVICE:
        case EMR_MASKBLT:
        case EMR_PLGBLT:
        case EMR_ALPHABLEND:
        case EMR_TRANSPARENTBLT: Blit(r, type); break;
        case EMR_GRADIENTFILL: GradientFill(r); break;
        default: break;  // comments, colour management and the like draw nothing here
    }
}

}  // namespace

void PlayEmf(const uint8_t* data, size_t size, uint32_t handleCount, TMetaCanvas& canvas) {
    TEmfPlayer player(canvas, handleCount);
    size_t pos = 0;
    for (int64_t n = 0; n < MaxRecordsReplayed && size - pos >= 8 && !canvas.Exhausted(); ++n) {
        const TRecordView head(data + pos, 8);
        const uint32_t type = head.U32(0), length = head.U32(4);
        // A record shorter than its own header would never advance; one past the end is cut.
        if (length < 8 || length > size - pos) return;
        if (type == EMR_EOF) return;
        if (type != EMR_HEADER) {
            try {
                player.Play(type, TRecordView(data + pos, length));
            } catch (const TMalformedRecord&) {
                return;
            }
        }
        pos += length;
    }
}
