// WMF records: 16-bit parameters stored in reverse order (y before x, bottom before top).
#include <algorithm>

#include "metafile_players.h"

TColor ResolveColor(uint32_t c, const TDCState& state) {
    if ((c >> 24) == 1) {
        const uint32_t index = c & 0xFFFF;
        return state.Palette && index < state.Palette->size() ? (*state.Palette)[index] : 0;
    }
    return c & 0xFFFFFF;
}

TMetaObject PaletteObject(const TRecordView& r, size_t countOffset) {
    const uint16_t count = r.U16(countOffset);
    const size_t first = countOffset + 2;
    r.Bytes(first, size_t{count} * 4);
    auto palette = std::make_shared<std::vector<TColor>>();
    palette->reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = r.Bytes(first + 4 * size_t{i}, 4);
        palette->push_back(RGBColor(e[0], e[1], e[2]));
    }
    TMetaObject o;
    o.Kind = TMetaObject::okPalette;
    o.Palette = std::move(palette);
    return o;
}

TMetaObject FontObject(const TRecordView& r, size_t at, bool wide) {
    const size_t field = wide ? 4 : 2;
    auto number = [&](size_t i) { return wide ? r.S32(at + field * i) : int32_t{r.S16(at + field * i)}; };
    auto font = std::make_shared<TMetaFont>();
    font->Height = number(0);
    font->Width = number(1);
    font->Escapement = number(2);
    font->Weight = number(4);
    const uint8_t* flags = r.Bytes(at + 5 * field, 4);
    font->Italic = flags[0], font->Underline = flags[1], font->StrikeOut = flags[2], font->CharSet = flags[3];
    // Writers cut the name short after its terminating zero.
    const size_t name = at + 5 * field + 8;
    const size_t nameBytes = std::min<size_t>(wide ? 64 : 32, r.Size() - std::min(r.Size(), name));
    font->Face = FaceName(r.Bytes(name, nameBytes), nameBytes, wide);
    TMetaObject o;
    o.Kind = TMetaObject::okFont;
    o.Font = std::move(font);
    return o;
}

namespace {

enum : uint16_t {
    META_SETBKCOLOR = 0x0201, META_SETBKMODE = 0x0102, META_SETMAPMODE = 0x0103, META_SETROP2 = 0x0104,
    META_SETPOLYFILLMODE = 0x0106, META_SETTEXTCHAREXTRA = 0x0108, META_SETTEXTCOLOR = 0x0209,
    META_SETTEXTALIGN = 0x012E, META_TEXTOUT = 0x0521, META_EXTTEXTOUT = 0x0A32, META_SETWINDOWORG = 0x020B,
    META_SETWINDOWEXT = 0x020C,
    META_SETVIEWPORTORG = 0x020D, META_SETVIEWPORTEXT = 0x020E, META_OFFSETWINDOWORG = 0x020F,
    META_SCALEWINDOWEXT = 0x0410, META_OFFSETVIEWPORTORG = 0x0211, META_SCALEVIEWPORTEXT = 0x0412,
    META_LINETO = 0x0213, META_MOVETO = 0x0214, META_EXCLUDECLIPRECT = 0x0415, META_INTERSECTCLIPRECT = 0x0416,
    META_ARC = 0x0817, META_ELLIPSE = 0x0418, META_PIE = 0x081A, META_RECTANGLE = 0x041B, META_ROUNDRECT = 0x061C,
    META_PATBLT = 0x061D, META_SAVEDC = 0x001E, META_SETPIXEL = 0x041F, META_OFFSETCLIPRGN = 0x0220,
    META_POLYGON = 0x0324, META_POLYLINE = 0x0325, META_RESTOREDC = 0x0127, META_FILLREGION = 0x0228,
    META_PAINTREGION = 0x012B, META_FRAMEREGION = 0x0429, META_SELECTCLIPREGION = 0x012C,
    META_SELECTOBJECT = 0x012D, META_CHORD = 0x0830,
    META_SETDIBTODEV = 0x0D33, META_SELECTPALETTE = 0x0234, META_POLYPOLYGON = 0x0538, META_DIBBITBLT = 0x0940,
    META_DIBSTRETCHBLT = 0x0B41, META_DIBCREATEPATTERNBRUSH = 0x0142, META_STRETCHDIB = 0x0F43,
    META_DELETEOBJECT = 0x01F0, META_CREATEPALETTE = 0x00F7, META_CREATEPATTERNBRUSH = 0x01F9,
    META_CREATEPENINDIRECT = 0x02FA, META_CREATEFONTINDIRECT = 0x02FB, META_CREATEBRUSHINDIRECT = 0x02FC,
    META_CREATEREGION = 0x06FF,
};

constexpr size_t MaxObjects = 65535;

class TWmfPlayer {
public:
    TWmfPlayer(TMetaCanvas& canvas, uint16_t objectCount)
        : FCanvas(canvas), FState(canvas.State()), FObjects(std::max<size_t>(objectCount, 1)) {}

    void Play(uint16_t function, const TRecordView& r);

private:
    double P(const TRecordView& r, size_t word) const { return r.S16(2 * word); }
    TPolygonF Points(const TRecordView& r, size_t offset, size_t count) const;
    void Create(TMetaObject object);
    void Delete(uint16_t index);
    TMetaObject* Object(uint16_t index) { return index < FObjects.size() ? &FObjects[index] : nullptr; }
    void Select(uint16_t index);
    TMetaRegion RegionOf(const TRecordView& r) const;
    // 8-bit characters from `at` on, padded to whole words; returns the offset after them.
    size_t Chars(const TRecordView& r, size_t at, size_t count, TMetaText& text) const;
    void Blit(const TRecordView& r, size_t dibOffset, uint32_t rop, double x, double y, double w, double h, double sx,
              double sy, double sw, double sh, bool countFromBottom, TDibColorUsage usage);
    std::vector<TColor> Palette() const { return FState.Palette ? *FState.Palette : std::vector<TColor>{}; }

    TMetaCanvas& FCanvas;
    TDCState& FState;
    std::vector<TMetaObject> FObjects;
    size_t FFirstFree = 0;  // no free slot below this one
};

TPolygonF TWmfPlayer::Points(const TRecordView& r, size_t offset, size_t count) const {
    r.Bytes(offset, count * 4);  // the whole run must lie in the record before anything is allocated
    TPolygonF pts(count);
    for (size_t i = 0; i < count; ++i) pts[i] = {double(r.S16(offset + 4 * i)), double(r.S16(offset + 4 * i + 2))};
    return pts;
}

void TWmfPlayer::Create(TMetaObject object) {
    // A new object takes the lowest free slot of the table. Every slot below FFirstFree is
    // taken, so the search starts there: a file of many creations costs no more than its length.
    while (FFirstFree < FObjects.size() && FObjects[FFirstFree].Kind != TMetaObject::okEmpty) ++FFirstFree;
    if (FFirstFree < FObjects.size()) {
        FObjects[FFirstFree++] = std::move(object);
    } else if (FObjects.size() < MaxObjects) {
        FObjects.push_back(std::move(object));
        FFirstFree = FObjects.size();
    }
}

void TWmfPlayer::Delete(uint16_t index) {
    if (TMetaObject* o = Object(index)) {
        *o = TMetaObject{};
        FFirstFree = std::min<size_t>(FFirstFree, index);
    }
}

void TWmfPlayer::Select(uint16_t index) {
    const TMetaObject* o = Object(index);
    if (!o) return;
    switch (o->Kind) {
        case TMetaObject::okPen: FState.Pen = o->Pen; break;
        case TMetaObject::okBrush: FState.Brush = o->Brush; break;
        case TMetaObject::okPalette: FState.Palette = o->Palette; break;
        case TMetaObject::okRegion: FCanvas.SelectClipRegion(o->Region.get(), 5); break;
        case TMetaObject::okFont: FState.Font = o->Font; break;
        default: break;
    }
}

TMetaRegion TWmfPlayer::RegionOf(const TRecordView& r) const {
    // Header of 22 bytes, then scans: count of x values, top, bottom, the x pairs, count again.
    TMetaRegion region;
    const uint16_t scans = r.U16(10);
    size_t o = 22;
    const TAffine& m = FCanvas.Transform();
    for (uint16_t s = 0; s < scans; ++s) {
        const uint16_t count = r.U16(o);
        const double top = r.S16(o + 2), bottom = r.S16(o + 4);
        r.Bytes(o + 6, size_t{count} * 2 + 2);
        for (uint16_t k = 0; k + 1 < count; k += 2) {
            const TPointF a = m.Apply({double(r.S16(o + 6 + 2 * k)), top});
            const TPointF b = m.Apply({double(r.S16(o + 8 + 2 * k)), bottom});
            if (!std::isfinite(a.X) || !std::isfinite(a.Y) || !std::isfinite(b.X) || !std::isfinite(b.Y)) continue;
            TMetaRegion piece(TRect{int32_t(std::clamp(std::min(a.X, b.X), -1e9, 1e9)),
                                    int32_t(std::clamp(std::min(a.Y, b.Y), -1e9, 1e9)),
                                    int32_t(std::clamp(std::max(a.X, b.X), -1e9, 1e9)),
                                    int32_t(std::clamp(std::max(a.Y, b.Y), -1e9, 1e9))});
            FCanvas.Raster().Charge(static_cast<int64_t>(region.Rects().size()) + 1);
            if (FCanvas.Exhausted()) return region;
            region.Unite(piece);
        }
        o += 6 + size_t{count} * 2 + 2;
    }
    return region;
}

size_t TWmfPlayer::Chars(const TRecordView& r, size_t at, size_t count, TMetaText& text) const {
    text.Chars = r.Bytes(at, count);
    text.Count = count;
    return at + count + (count & 1);
}

void TWmfPlayer::Blit(const TRecordView& r, size_t dibOffset, uint32_t rop, double x, double y, double w, double h,
                      double sx, double sy, double sw, double sh, bool countFromBottom, TDibColorUsage usage) {
    TMetaDib dib;
    const size_t size = r.Size() - std::min(r.Size(), dibOffset);
    if (!DecodePackedDib(r.Bytes(dibOffset, size), size, usage, Palette(), dib)) return;
    FCanvas.Raster().Charge(int64_t{dib.Width} * dib.Height / 4);  // decoding is work wherever it lands
    TBlitMode mode;
    mode.Rop = rop;
    FCanvas.StretchDib(dib, x, y, w, h, sx, sy, sw, sh, countFromBottom, mode);
}

void TWmfPlayer::Play(uint16_t fn, const TRecordView& r) {
    TMetaCanvas& c = FCanvas;
    switch (fn) {
        case META_SETBKCOLOR: FState.BkColor = ResolveColor(r.U32(0), FState); break;
        case META_SETBKMODE: FState.Opaque = r.U16(0) == 2; break;
        case META_SETMAPMODE: c.SetMapMode(r.U16(0)); break;
        case META_SETROP2:
            if (r.U16(0) >= 1 && r.U16(0) <= 16) FState.Rop2 = r.U16(0);
            break;
        case META_SETPOLYFILLMODE: FState.Winding = r.U16(0) == 2; break;
        case META_SETTEXTCOLOR: FState.TextColor = ResolveColor(r.U32(0), FState); break;
        case META_SETTEXTALIGN: FState.TextAlign = r.U16(0); break;
        case META_SETTEXTCHAREXTRA: FState.CharExtra = r.S16(0); break;
        case META_TEXTOUT: {
            TMetaText t;
            const size_t after = Chars(r, 2, r.U16(0), t);
            t.Reference = {double(r.S16(after + 2)), double(r.S16(after))};
            c.TextOut(t);
            break;
        }
        case META_EXTTEXTOUT: {
            // y, x, length, options, the rectangle when the options use one, the characters,
            // and advances when the record has room for them.
            TMetaText t;
            t.Reference = {P(r, 1), P(r, 0)};
            const int16_t count = r.S16(4);
            if (count < 0) throw TMalformedRecord{};
            t.Options = r.U16(6);
            size_t at = 8;
            if (t.Options & (EtoOpaque | EtoClipped)) {
                t.HasRect = true;
                for (size_t k = 0; k < 4; ++k) t.Rect[k] = r.S16(8 + 2 * k);
                at = 16;
            }
            at = Chars(r, at, static_cast<size_t>(count), t);
            if (count > 0 && r.Has(at, size_t(count) * 2)) {
                t.Advances = r.Bytes(at, size_t(count) * 2);
                t.AdvanceBytes = 2;
            }
            c.TextOut(t);
            break;
        }
        case META_SETWINDOWORG: c.SetWindowOrg(P(r, 1), P(r, 0)); break;
        case META_SETWINDOWEXT: c.SetWindowExt(P(r, 1), P(r, 0)); break;
        case META_SETVIEWPORTORG: c.SetViewportOrg(P(r, 1), P(r, 0)); break;
        case META_SETVIEWPORTEXT: c.SetViewportExt(P(r, 1), P(r, 0)); break;
        case META_OFFSETWINDOWORG:
            c.SetWindowOrg(FState.WindowOrg.X + P(r, 1), FState.WindowOrg.Y + P(r, 0));
            break;
        case META_OFFSETVIEWPORTORG:
            c.SetViewportOrg(FState.ViewportOrg.X + P(r, 1), FState.ViewportOrg.Y + P(r, 0));
            break;
        case META_SCALEWINDOWEXT: c.ScaleWindowExt(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_SCALEVIEWPORTEXT: c.ScaleViewportExt(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_MOVETO: c.MoveTo({P(r, 1), P(r, 0)}); break;
        case META_LINETO: c.LineTo({P(r, 1), P(r, 0)}); break;
        case META_EXCLUDECLIPRECT: c.ExcludeClipRect(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_INTERSECTCLIPRECT: c.IntersectClipRect(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_OFFSETCLIPRGN: c.OffsetClip(P(r, 1), P(r, 0)); break;
        case META_ARC:
        case META_PIE:
        case META_CHORD: {
            const TArcKind kind = fn == META_ARC ? TArcKind::Arc : fn == META_PIE ? TArcKind::Pie : TArcKind::Chord;
            c.ArcShape(kind, P(r, 7), P(r, 6), P(r, 5), P(r, 4), {P(r, 3), P(r, 2)}, {P(r, 1), P(r, 0)});
            break;
        }
        case META_ELLIPSE: c.Ellipse(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_RECTANGLE: c.Rectangle(P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_ROUNDRECT: c.RoundRect(P(r, 5), P(r, 4), P(r, 3), P(r, 2), P(r, 1), P(r, 0)); break;
        case META_PATBLT: c.PatBlt(P(r, 5), P(r, 4), P(r, 3), P(r, 2), r.U32(0)); break;
        case META_SAVEDC: c.SaveDC(); break;
        case META_RESTOREDC: c.RestoreDC(r.S16(0)); break;
        case META_SETPIXEL: c.SetPixel({P(r, 3), P(r, 2)}, ResolveColor(r.U32(0), FState)); break;
        case META_POLYGON:
        case META_POLYLINE: {
            const int16_t count = r.S16(0);
            if (count < 0) throw TMalformedRecord{};
            TPolygonF pts = Points(r, 2, static_cast<size_t>(count));
            if (fn == META_POLYGON) c.Polygons({std::move(pts)});
            else c.Polyline(pts, false);
            break;
        }
        case META_POLYPOLYGON: {
            const uint16_t n = r.U16(0);
            r.Bytes(2, size_t{n} * 2);
            std::vector<TPolygonF> polys;
            size_t o = 2 + size_t{n} * 2;
            for (uint16_t i = 0; i < n; ++i) {
                const uint16_t count = r.U16(2 + 2 * size_t{i});
                polys.push_back(Points(r, o, count));
                o += size_t{count} * 4;
            }
            c.Polygons(polys);
            break;
        }
        case META_SELECTOBJECT: Select(r.U16(0)); break;
        case META_SELECTPALETTE: Select(r.U16(0)); break;
        case META_DELETEOBJECT: Delete(r.U16(0)); break;
        case META_CREATEPENINDIRECT: {
            TMetaObject o;
            o.Kind = TMetaObject::okPen;
            o.Pen.Style = r.U16(0) & 0xFF;
            o.Pen.Width = std::abs(r.S16(2));
            o.Pen.Color = ResolveColor(r.U32(6), FState);
            Create(std::move(o));
            break;
        }
        case META_CREATEBRUSHINDIRECT: {
            TMetaObject o;
            o.Kind = TMetaObject::okBrush;
            o.Brush.Style = r.U16(0);
            o.Brush.Color = ResolveColor(r.U32(2), FState);
            o.Brush.Hatch = r.U16(6);
            if (o.Brush.Style != BrushStyleNull && o.Brush.Style != BrushStyleHatched) o.Brush.Style = BrushStyleSolid;
            Create(std::move(o));
            break;
        }
        case META_DIBCREATEPATTERNBRUSH: {
            TMetaObject o;
            o.Kind = TMetaObject::okBrush;
            o.Brush.Style = BrushStylePattern;
            o.Brush.Color = 0x808080;
            auto dib = std::make_shared<TMetaDib>();
            const TDibColorUsage usage = r.U16(2) == 1 ? TDibColorUsage::PaletteIndices : TDibColorUsage::RgbColors;
            // An old-style bitmap pattern (style 3) is not decoded; it fills grey.
            if (r.U16(0) != BrushStylePattern && r.Size() > 4 &&
                DecodePackedDib(r.Bytes(4, r.Size() - 4), r.Size() - 4, usage, Palette(), *dib))
                o.Brush.Pattern = std::move(dib);
            Create(std::move(o));
            break;
        }
        case META_CREATEPALETTE: {
            Create(PaletteObject(r, 2));
            break;
        }
        case META_CREATEREGION: {
            TMetaObject o;
            o.Kind = TMetaObject::okRegion;
            o.Region = std::make_shared<const TMetaRegion>(RegionOf(r));
            Create(std::move(o));
            break;
        }
        case META_CREATEFONTINDIRECT: Create(FontObject(r, 0, false)); break;
        case META_CREATEPATTERNBRUSH: {
            // An old-style bitmap is not decoded, but the brush takes its slot so that later
            // indices stay right; it fills grey.
            TMetaObject o;
            o.Kind = TMetaObject::okBrush;
            o.Brush.Color = 0x808080;
            Create(std::move(o));
            break;
        }
        case META_SELECTCLIPREGION: {
            const TMetaObject* o = Object(r.U16(0));
            c.SelectClipRegion(o && o->Kind == TMetaObject::okRegion ? o->Region.get() : nullptr, 5);
            break;
        }
        case META_FILLREGION:
        case META_PAINTREGION:
        case META_FRAMEREGION: {
            const TMetaObject* region = Object(r.U16(0));
            if (!region || region->Kind != TMetaObject::okRegion) break;
            const TMetaBrush saved = FState.Brush;
            if (fn != META_PAINTREGION) {
                const TMetaObject* brush = Object(r.U16(2));
                if (!brush || brush->Kind != TMetaObject::okBrush) break;
                FState.Brush = brush->Brush;
            }
            if (fn == META_FRAMEREGION) c.FrameRegion(*region->Region, P(r, 3), P(r, 2));
            else c.PaintRegion(*region->Region, 0x00F00021);
            FState.Brush = saved;
            break;
        }
        case META_STRETCHDIB: {
            const TDibColorUsage usage = r.U16(4) == 1 ? TDibColorUsage::PaletteIndices : TDibColorUsage::RgbColors;
            Blit(r, 22, r.U32(0), P(r, 10), P(r, 9), P(r, 8), P(r, 7), P(r, 6), P(r, 5), P(r, 4), P(r, 3), true, usage);
            break;
        }
        case META_DIBSTRETCHBLT:
            if (r.Size() == 22)  // no bitmap: a pattern blit
                c.PatBlt(P(r, 10), P(r, 9), P(r, 8), P(r, 7), r.U32(0));
            else
                Blit(r, 20, r.U32(0), P(r, 9), P(r, 8), P(r, 7), P(r, 6), P(r, 5), P(r, 4), P(r, 3), P(r, 2), false,
                     TDibColorUsage::RgbColors);
            break;
        case META_DIBBITBLT:
            if (r.Size() == 18)
                c.PatBlt(P(r, 8), P(r, 7), P(r, 6), P(r, 5), r.U32(0));
            else
                Blit(r, 16, r.U32(0), P(r, 7), P(r, 6), P(r, 5), P(r, 4), P(r, 3), P(r, 2), P(r, 5), P(r, 4), false,
                     TDibColorUsage::RgbColors);
            break;
        case META_SETDIBTODEV: {
            if (r.U16(4) != 0) break;  // only bitmaps that start at their first scan line
            const TDibColorUsage usage = r.U16(0) == 1 ? TDibColorUsage::PaletteIndices : TDibColorUsage::RgbColors;
            // Not stretched: the bitmap covers as many device pixels as it has.
            const TPointF size = c.DeviceExtentToLogical(P(r, 6), P(r, 5));
            Blit(r, 18, 0x00CC0020, P(r, 8), P(r, 7), size.X, size.Y, P(r, 4), P(r, 3), P(r, 6), P(r, 5), true, usage);
            break;
        }
        default: break;  // escapes, palette animation and the like draw nothing here
    }
}

}  // namespace

void PlayWmf(const uint8_t* data, size_t size, uint16_t objectCount, TMetaCanvas& canvas) {
    TWmfPlayer player(canvas, objectCount);
    size_t pos = 0;
    for (int64_t n = 0; n < MaxRecordsReplayed && size - pos >= 6 && !canvas.Exhausted(); ++n) {
        const TRecordView head(data + pos, 6);
        const uint32_t words = head.U32(0);
        const uint16_t function = head.U16(4);
        if (function == 0) return;  // end of file
        // A record shorter than its own header would never advance; one past the end is cut.
        if (words < 3 || words > (size - pos) / 2) return;
        try {
            player.Play(function, TRecordView(data + pos + 6, size_t{words} * 2 - 6));
        } catch (const TMalformedRecord&) {
            return;
        }
        pos += size_t{words} * 2;
    }
}
