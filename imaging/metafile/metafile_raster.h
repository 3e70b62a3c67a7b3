// The small rasteriser behind metafile drawing: filled polygon sets with either fill rule,
// hairlines and wide strokes, solid or dashed, shaded triangles, stretched bitmaps and
// coverage spans (anti-aliased glyphs), painted onto a TBitmap of any pixel format through a
// clip region. Coordinates are target pixels as doubles; pixel (x, y) covers
// [x, x + 1) x [y, y + 1) and is painted when its centre is inside a shape.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "bitmap.h"
#include "metafile_dib.h"

struct TPointF {
    double X = 0, Y = 0;
};
using TPolygonF = std::vector<TPointF>;

// x' = A x + C y + E, y' = B x + D y + F.
struct TAffine {
    double A = 1, B = 0, C = 0, D = 1, E = 0, F = 0;

    TPointF Apply(TPointF p) const { return {A * p.X + C * p.Y + E, B * p.X + D * p.Y + F}; }
    // This map followed by next.
    TAffine Then(const TAffine& next) const;
    bool Invert(TAffine& inverse) const;
    // How much the map scales lengths on average: the root of its area factor.
    double LengthScale() const { return std::sqrt(std::fabs(A * D - B * C)); }
};

// A clip region in target pixels as disjoint rectangles. A region that would need more than
// MaxRects rectangles is replaced by its bounding box: it then clips less, never more.
class TMetaRegion {
public:
    static constexpr size_t MaxRects = 4096;

    TMetaRegion() = default;
    explicit TMetaRegion(const TRect& r) { Add(r); }

    const std::vector<TRect>& Rects() const { return FRects; }
    bool IsEmpty() const { return FRects.empty(); }
    TRect Bounds() const;
    bool Contains(int32_t x, int32_t y) const;

    void Add(const TRect& r);  // r must not overlap the region
    void Intersect(const TRect& r);
    void Subtract(const TRect& r);
    void Intersect(const TMetaRegion& other);
    void Subtract(const TMetaRegion& other);
    void Unite(const TMetaRegion& other);
    void Xor(const TMetaRegion& other);
    void Offset(int32_t dx, int32_t dy);

private:
    void Bound();
    std::vector<TRect> FRects;
};

// What fills a span: a colour, a hatch of it, or a tiled bitmap, combined with the target
// through a binary raster operation (13 copies the pen).
struct TMetaPaint {
    TColor Color = 0;
    int Rop2 = 13;
    int Hatch = -1;  // 0..5: horizontal, vertical, forward and backward diagonal, cross, diagonal cross
    bool Opaque = false;  // hatch gaps take BkColor
    TColor BkColor = 0xFFFFFF;
    std::shared_ptr<const TMetaDib> Pattern;
    int32_t OriginX = 0, OriginY = 0;
};

struct TBlitMode {
    uint32_t Rop = 0x00CC0020;  // ternary raster operation; copy the source
    // With a mask, source pixels whose mask pixel is dark combine by BackRop instead of Rop's;
    // the mask pixel of source point s is s + MaskOffset. Outside the mask, Rop holds.
    const TMetaDib* Mask = nullptr;
    TPointF MaskOffset;
    uint8_t BackRop = 0xAA;  // leave the destination
    TColor PatternColor = 0xFFFFFF;
    bool Transparent = false;
    TColor TransparentColor = 0;
    bool Blend = false;
    uint8_t ConstantAlpha = 255;
    bool SourceAlpha = false;  // premultiplied per-pixel alpha
};

class TMetaRaster {
public:
    // Paints only inside picture (clipped to the target). workBudget bounds the pixels and
    // edge crossings of one drawing; once spent, everything further is ignored.
    TMetaRaster(TBitmap& target, const TRect& picture, int64_t workBudget);

    const TRect& Bounds() const { return FBounds; }
    // Extra clipping inside the bounds; null clips to the bounds only.
    void SetClip(std::shared_ptr<const TMetaRegion> clip);
    bool Exhausted() const { return FWork > FBudget; }
    int64_t Work() const { return FWork; }
    // Counts work done elsewhere on the drawing's behalf (building clip regions).
    void Charge(int64_t units) { FWork += units; }

    void FillPolygons(const std::vector<TPolygonF>& polygons, bool winding, const TMetaPaint& paint);
    // Width in pixels; below 1.5 the line is a one-pixel hairline that leaves out its last
    // point, as the platform draws lines. dashes: lengths in pixels of dash, gap, dash...
    // measured along the line (a hairline counts one per pixel step); empty draws solid.
    // Wide dashes end flat, so that the gaps show whatever the pen's caps.
    void StrokePolyline(const TPolygonF& points, bool closed, double width, const TMetaPaint& paint,
                        const std::vector<double>& dashes = {});
    void Plot(int32_t x, int32_t y, const TMetaPaint& paint);
    // Draws source pixels: every target pixel whose centre lies inside quad (the destination
    // corners, in order) maps through targetToSource to a source point; the pixel is painted
    // when that point lies in sourceRect (source pixel units, rows top-down) and in the bitmap.
    void StretchImage(const TMetaDib& image, const TAffine& targetToSource, const TPointF (&quad)[4],
                      double sx0, double sy0, double sx1, double sy1, const TBlitMode& mode);
    // Fills a triangle whose corners carry colours (red, green, blue from 0 to 255): each
    // pixel takes the colour interpolated at its centre.
    void ShadeTriangle(const TPointF (&corners)[3], const double (&rgb)[3][3]);
    // Blends colour into the pixels [x, x + length) of row y at coverage / 255.
    void BlendSpan(int32_t y, int32_t x, int32_t length, uint8_t coverage, TColor color);
    // The pixels a polygon set covers, as a region (for clip paths).
    TMetaRegion PolygonRegion(const std::vector<TPolygonF>& polygons, bool winding);

private:
    template <class SpanFn>
    void Scan(const std::vector<TPolygonF>& polygons, bool winding, SpanFn&& span);
    template <class SpanFn>
    void ForClippedSpans(int32_t y, int32_t x0, int32_t x1, SpanFn&& span);
    class TDashWalk;
    void Hairline(TPointF a, TPointF b, const TMetaPaint& paint, TDashWalk* dash);
    void DashedStroke(const TPolygonF& pts, size_t segments, double width, const TMetaPaint& paint,
                      const std::vector<double>& dashes);
    // Quads for the first `segments` segments (the last may close the line), with round joins,
    // and round caps where `caps` says.
    void AddStrokePieces(const TPolygonF& pts, size_t segments, double width, bool caps,
                         std::vector<TPolygonF>& pieces);
    void PaintSpan(int32_t y, int32_t x0, int32_t x1, const TMetaPaint& paint);
    TColor Read(int32_t x, int32_t y) const;
    void Write(int32_t x, int32_t y, TColor c);

    TBitmap& FTarget;
    TRect FBounds;
    std::shared_ptr<const TMetaRegion> FClip;
    std::vector<TRect> FClipRects;  // the clip's rectangles by their top edge
    int32_t FClipTallest = 0;
    int64_t FBudget;
    int64_t FWork = 0;
};

// Combines pattern, source and destination colours by a ternary raster operation code.
TColor ApplyRop3(uint8_t code, TColor pattern, TColor source, TColor dest);
TColor ApplyRop2(int rop, TColor pen, TColor dest);
