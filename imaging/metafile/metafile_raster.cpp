#include "metafile_raster.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace {

constexpr double Pi = 3.14159265358979323846;

bool Finite(TPointF p) { return std::isfinite(p.X) && std::isfinite(p.Y); }

TRect IntersectRect(const TRect& a, const TRect& b) {
    TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right), std::min(a.Bottom, b.Bottom)};
    if (r.Left >= r.Right || r.Top >= r.Bottom) return TRect{};
    return r;
}

bool EmptyRect(const TRect& r) { return r.Left >= r.Right || r.Top >= r.Bottom; }

// Clamps a coordinate into [lo, hi] before it becomes an integer.
int32_t ClampToInt(double v, int32_t lo, int32_t hi) {
    if (!(v > lo)) return lo;
    if (v > hi) return hi;
    return static_cast<int32_t>(v);
}

double SignedArea(const TPolygonF& p) {
    double a = 0;
    for (size_t i = 0, n = p.size(); i < n; ++i) {
        const TPointF& u = p[i];
        const TPointF& v = p[(i + 1) % n];
        a += u.X * v.Y - v.X * u.Y;
    }
    return a / 2;
}

void OrientPositive(TPolygonF& p) {
    if (SignedArea(p) < 0) std::reverse(p.begin(), p.end());
}

TPolygonF Disc(TPointF c, double radius) {
    int n = std::clamp(static_cast<int>(radius * 2), 8, 48);
    TPolygonF p;
    p.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        double t = 2 * Pi * i / n;
        p.push_back({c.X + radius * std::cos(t), c.Y + radius * std::sin(t)});
    }
    OrientPositive(p);
    return p;
}

// Liang-Barsky: cuts the segment to the rectangle; false when nothing is left.
bool ClipSegment(TPointF& a, TPointF& b, double x0, double y0, double x1, double y1) {
    double t0 = 0, t1 = 1, dx = b.X - a.X, dy = b.Y - a.Y;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.X - x0, x1 - a.X, a.Y - y0, y1 - a.Y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
        } else {
            double t = q[i] / p[i];
            if (p[i] < 0) t0 = std::max(t0, t);
            else t1 = std::min(t1, t);
        }
    }
    if (t0 > t1) return false;
    TPointF s{a.X + t0 * dx, a.Y + t0 * dy}, e{a.X + t1 * dx, a.Y + t1 * dy};
    a = s, b = e;
    return true;
}

}  // namespace

TAffine TAffine::Then(const TAffine& n) const {
    return TAffine{n.A * A + n.C * B, n.B * A + n.D * B, n.A * C + n.C * D,
                   n.B * C + n.D * D, n.A * E + n.C * F + n.E, n.B * E + n.D * F + n.F};
}

bool TAffine::Invert(TAffine& r) const {
    double det = A * D - B * C;
    if (det == 0 || !std::isfinite(det)) return false;
    r.A = D / det, r.B = -B / det, r.C = -C / det, r.D = A / det;
    r.E = -(r.A * E + r.C * F);
    r.F = -(r.B * E + r.D * F);
    return true;
}

TColor ApplyRop2(int rop, TColor p, TColor d) {
    TColor r;
    switch (rop) {
        case 1: r = 0; break;
        case 2: r = ~(p | d); break;
        case 3: r = ~p & d; break;
        case 4: r = ~p; break;
        case 5: r = p & ~d; break;
        case 6: r = ~d; break;
        case 7: r = p ^ d; break;
        case 8: r = ~(p & d); break;
        case 9: r = p & d; break;
        case 10: r = ~(p ^ d); break;
        case 11: r = d; break;
        case 12: r = ~p | d; break;
        case 14: r = p | ~d; break;
        case 15: r = p | d; break;
        case 16: r = 0xFFFFFF; break;
        default: r = p;
    }
    return r & 0xFFFFFF;
}

TColor ApplyRop3(uint8_t code, TColor p, TColor s, TColor d) {
    switch (code) {
        case 0xCC: return s & 0xFFFFFF;
        case 0xF0: return p & 0xFFFFFF;
        case 0xAA: return d & 0xFFFFFF;
        default: break;
    }
    // Bit i of the code is the result for pattern, source and destination bits (i>>2, i>>1, i) & 1.
    TColor r = 0;
    for (int i = 0; i < 8; ++i)
        if ((code >> i) & 1) r |= ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
    return r & 0xFFFFFF;
}

// ---- regions ----

TRect TMetaRegion::Bounds() const {
    if (FRects.empty()) return TRect{};
    TRect b = FRects.front();
    for (const TRect& r : FRects) {
        b.Left = std::min(b.Left, r.Left), b.Top = std::min(b.Top, r.Top);
        b.Right = std::max(b.Right, r.Right), b.Bottom = std::max(b.Bottom, r.Bottom);
    }
    return b;
}

bool TMetaRegion::Contains(int32_t x, int32_t y) const {
    for (const TRect& r : FRects)
        if (x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom) return true;
    return false;
}

void TMetaRegion::Bound() {
    if (FRects.size() > MaxRects) {
        TRect b = Bounds();
        FRects.assign(1, b);
    }
}

void TMetaRegion::Add(const TRect& r) {
    if (!EmptyRect(r)) FRects.push_back(r);
    Bound();
}

void TMetaRegion::Intersect(const TRect& c) {
    std::vector<TRect> out;
    for (const TRect& r : FRects) {
        TRect i = IntersectRect(r, c);
        if (!EmptyRect(i)) out.push_back(i);
    }
    FRects.swap(out);
}

void TMetaRegion::Subtract(const TRect& c) {
    std::vector<TRect> out;
    for (const TRect& r : FRects) {
        TRect i = IntersectRect(r, c);
        if (EmptyRect(i)) {
            out.push_back(r);
            continue;
        }
        auto keep = [&](TRect p) {
            if (!EmptyRect(p)) out.push_back(p);
        };
        keep({r.Left, r.Top, r.Right, i.Top});
        keep({r.Left, i.Bottom, r.Right, r.Bottom});
        keep({r.Left, i.Top, i.Left, i.Bottom});
        keep({i.Right, i.Top, r.Right, i.Bottom});
    }
    FRects.swap(out);
    Bound();
}

void TMetaRegion::Intersect(const TMetaRegion& other) {
    std::vector<TRect> out;
    for (const TRect& a : FRects)
        for (const TRect& b : other.FRects) {
            TRect i = IntersectRect(a, b);
            if (!EmptyRect(i)) out.push_back(i);
            if (out.size() > MaxRects) {
                // Too many pieces: the overlap of the two bounding boxes holds every one.
                const TRect both = IntersectRect(Bounds(), other.Bounds());
                FRects.clear();
                Add(both);
                return;
            }
        }
    FRects.swap(out);
    Bound();
}

void TMetaRegion::Subtract(const TMetaRegion& other) {
    for (const TRect& r : other.FRects) Subtract(r);
}

void TMetaRegion::Unite(const TMetaRegion& other) {
    TMetaRegion extra = other;
    extra.Subtract(*this);
    FRects.insert(FRects.end(), extra.FRects.begin(), extra.FRects.end());
    Bound();
}

void TMetaRegion::Xor(const TMetaRegion& other) {
    TMetaRegion onlyOther = other;
    onlyOther.Subtract(*this);
    Subtract(other);
    FRects.insert(FRects.end(), onlyOther.FRects.begin(), onlyOther.FRects.end());
    Bound();
}

void TMetaRegion::Offset(int32_t dx, int32_t dy) {
    for (TRect& r : FRects) {
        r.Left = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.Left} + dx, INT32_MIN / 2, INT32_MAX / 2));
        r.Right = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.Right} + dx, INT32_MIN / 2, INT32_MAX / 2));
        r.Top = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.Top} + dy, INT32_MIN / 2, INT32_MAX / 2));
        r.Bottom = static_cast<int32_t>(std::clamp<int64_t>(int64_t{r.Bottom} + dy, INT32_MIN / 2, INT32_MAX / 2));
    }
}

// ---- raster ----

TMetaRaster::TMetaRaster(TBitmap& target, const TRect& picture, int64_t workBudget)
    : FTarget(target),
      FBounds(IntersectRect(picture, TRect{0, 0, target.Width(), target.Height()})),
      FBudget(workBudget) {}

void TMetaRaster::SetClip(std::shared_ptr<const TMetaRegion> clip) {
    FClip = std::move(clip);
    FClipRects.clear();
    FClipTallest = 0;
    if (!FClip) return;
    FClipRects = FClip->Rects();
    std::sort(FClipRects.begin(), FClipRects.end(), [](const TRect& a, const TRect& b) { return a.Top < b.Top; });
    for (const TRect& r : FClipRects) FClipTallest = std::max(FClipTallest, r.Height());
}

template <class SpanFn>
void TMetaRaster::ForClippedSpans(int32_t y, int32_t x0, int32_t x1, SpanFn&& span) {
    if (y < FBounds.Top || y >= FBounds.Bottom) return;
    x0 = std::max(x0, FBounds.Left), x1 = std::min(x1, FBounds.Right);
    if (x0 >= x1) return;
    if (!FClip) {
        span(x0, x1);
        return;
    }
    // Only rectangles that start at most the tallest height above the row can reach it; a
    // clip path's rectangles are one row high, so a row finds its own directly.
    const int64_t from = int64_t{y} - FClipTallest + 1;
    auto it = std::lower_bound(FClipRects.begin(), FClipRects.end(), from,
                               [](const TRect& r, int64_t top) { return r.Top < top; });
    for (; it != FClipRects.end() && it->Top <= y; ++it) {
        ++FWork;
        if (y >= it->Bottom) continue;
        const int32_t a = std::max(x0, it->Left), b = std::min(x1, it->Right);
        if (a < b) span(a, b);
    }
}

TColor TMetaRaster::Read(int32_t x, int32_t y) const {
    if (FTarget.PixelFormat() == pf24bit || FTarget.PixelFormat() == pf32bit) {
        const uint8_t* p = FTarget.ScanLine(y) + static_cast<size_t>(x) * (FTarget.PixelFormat() == pf24bit ? 3 : 4);
        return RGBColor(p[2], p[1], p[0]);
    }
    TRGBQuad q = FTarget.GetPixel(x, y);
    return RGBColor(q.Red, q.Green, q.Blue);
}

void TMetaRaster::Write(int32_t x, int32_t y, TColor c) {
    if (FTarget.PixelFormat() == pf24bit || FTarget.PixelFormat() == pf32bit) {
        const bool wide = FTarget.PixelFormat() == pf32bit;
        uint8_t* p = FTarget.ScanLine(y) + static_cast<size_t>(x) * (wide ? 4 : 3);
        p[0] = GetBValue(c), p[1] = GetGValue(c), p[2] = GetRValue(c);
        if (wide) p[3] = 255;
        return;
    }
    FTarget.SetPixel(x, y, TRGBQuad{GetBValue(c), GetGValue(c), GetRValue(c), 255});
}

void TMetaRaster::PaintSpan(int32_t y, int32_t x0, int32_t x1, const TMetaPaint& paint) {
    FWork += x1 - x0;
    if (Exhausted()) return;
    for (int32_t x = x0; x < x1; ++x) {
        TColor c = paint.Color;
        if (paint.Pattern && paint.Pattern->Width > 0 && paint.Pattern->Height > 0) {
            const TMetaDib& pat = *paint.Pattern;
            int64_t px = (int64_t{x} - paint.OriginX) % pat.Width, py = (int64_t{y} - paint.OriginY) % pat.Height;
            if (px < 0) px += pat.Width;
            if (py < 0) py += pat.Height;
            uint32_t v = pat.At(static_cast<int32_t>(px), static_cast<int32_t>(py));
            if (pat.Masked && (v >> 24) == 0) continue;
            c = v & 0xFFFFFF;
        } else if (paint.Hatch >= 0) {
            const int hx = static_cast<int>((int64_t{x} - paint.OriginX) & 7);
            const int hy = static_cast<int>((int64_t{y} - paint.OriginY) & 7);
            const bool h = hy == 7, v = hx == 7, f = hx == hy, b = hx + hy == 7;
            bool on;
            switch (paint.Hatch) {
                case 0: on = h; break;
                case 1: on = v; break;
                case 2: on = f; break;
                case 3: on = b; break;
                case 4: on = h || v; break;
                default: on = f || b;
            }
            if (!on) {
                if (!paint.Opaque) continue;
                c = paint.BkColor;
            }
        }
        Write(x, y, paint.Rop2 == 13 ? c : ApplyRop2(paint.Rop2, c, Read(x, y)));
    }
}

template <class SpanFn>
void TMetaRaster::Scan(const std::vector<TPolygonF>& polygons, bool winding, SpanFn&& span) {
    struct TEdge {
        double X0, Y0, Y1, Slope;
        int Dir;
    };
    std::vector<TEdge> edges;
    double minY = std::numeric_limits<double>::infinity(), maxY = -minY;
    for (const TPolygonF& poly : polygons) {
        const size_t n = poly.size();
        if (n < 2) continue;
        for (size_t i = 0; i < n; ++i) {
            TPointF p = poly[i], q = poly[(i + 1) % n];
            if (!Finite(p) || !Finite(q)) return;
            if (p.Y == q.Y) continue;
            int dir = 1;
            if (p.Y > q.Y) std::swap(p, q), dir = -1;
            edges.push_back({p.X, p.Y, q.Y, (q.X - p.X) / (q.Y - p.Y), dir});
            minY = std::min(minY, p.Y), maxY = std::max(maxY, q.Y);
        }
    }
    if (edges.empty()) return;
    // Building and sorting the edges is work even for a shape wholly outside the picture.
    FWork += 8 * static_cast<int64_t>(edges.size());
    if (Exhausted()) return;
    std::sort(edges.begin(), edges.end(), [](const TEdge& a, const TEdge& b) { return a.Y0 < b.Y0; });
    const int32_t yStart = ClampToInt(std::floor(minY), FBounds.Top, FBounds.Bottom);
    const int32_t yEnd = ClampToInt(std::ceil(maxY), FBounds.Top, FBounds.Bottom);
    std::vector<size_t> active;
    std::vector<std::pair<double, int>> crossings;
    size_t next = 0;
    for (int32_t y = yStart; y < yEnd; ++y) {
        const double yc = y + 0.5;
        while (next < edges.size() && edges[next].Y0 <= yc) active.push_back(next++);
        std::erase_if(active, [&](size_t i) { return edges[i].Y1 <= yc; });
        FWork += static_cast<int64_t>(active.size()) + 1;
        if (Exhausted()) return;
        crossings.clear();
        for (size_t i : active) {
            const TEdge& e = edges[i];
            crossings.emplace_back(e.X0 + (yc - e.Y0) * e.Slope, e.Dir);
        }
        std::sort(crossings.begin(), crossings.end());
        int count = 0;
        for (size_t k = 0; k + 1 < crossings.size(); ++k) {
            count += winding ? crossings[k].second : 1;
            if (winding ? count == 0 : (count & 1) == 0) continue;
            // Pixels whose centres lie in [xa, xb).
            const int32_t x0 = ClampToInt(std::ceil(crossings[k].first - 0.5), FBounds.Left, FBounds.Right);
            const int32_t x1 = ClampToInt(std::ceil(crossings[k + 1].first - 0.5), FBounds.Left, FBounds.Right);
            if (x0 < x1) span(y, x0, x1);
        }
    }
}

void TMetaRaster::FillPolygons(const std::vector<TPolygonF>& polygons, bool winding, const TMetaPaint& paint) {
    if (Exhausted()) return;
    Scan(polygons, winding, [&](int32_t y, int32_t x0, int32_t x1) {
        ForClippedSpans(y, x0, x1, [&](int32_t a, int32_t b) { PaintSpan(y, a, b, paint); });
    });
}

TMetaRegion TMetaRaster::PolygonRegion(const std::vector<TPolygonF>& polygons, bool winding) {
    TMetaRegion region;
    Scan(polygons, winding, [&](int32_t y, int32_t x0, int32_t x1) { region.Add(TRect{x0, y, x1, y + 1}); });
    return region;
}

void TMetaRaster::Plot(int32_t x, int32_t y, const TMetaPaint& paint) {
    ForClippedSpans(y, x, x + 1, [&](int32_t a, int32_t b) { PaintSpan(y, a, b, paint); });
}

// Where a line stands in its dash pattern: the entry it is in (even entries are dashes) and
// how much of that entry is left, never zero.
class TMetaRaster::TDashWalk {
public:
    // dashes must be non-negative with a positive sum.
    explicit TDashWalk(const std::vector<double>& dashes) : FDashes(dashes) {
        for (double d : dashes) FPeriod += d;
        FLeft = dashes[0];
        Settle();
    }
    bool On() const { return FIndex % 2 == 0; }
    double Left() const { return FLeft; }
    void Advance(double length) {
        if (!(length > 0)) return;
        // Whole periods change nothing, however far a line runs outside the picture.
        if (length >= FLeft + FPeriod) length = FLeft + std::fmod(length - FLeft, FPeriod);
        while (length > FLeft) {
            length -= FLeft;
            Next();
        }
        FLeft -= length;
        Settle();
    }

private:
    void Next() {
        FIndex = (FIndex + 1) % FDashes.size();
        FLeft = FDashes[FIndex];
    }
    void Settle() {
        while (!(FLeft > 1e-9)) Next();
    }

    const std::vector<double>& FDashes;
    double FPeriod = 0;
    size_t FIndex = 0;
    double FLeft = 0;
};

void TMetaRaster::Hairline(TPointF a, TPointF b, const TMetaPaint& paint, TDashWalk* dash) {
    const TPointF fullA = a, fullB = b;
    // Pixel steps between two points, as a hairline counts them.
    auto steps = [](TPointF p, TPointF q) {
        return std::max(std::fabs(std::floor(q.X) - std::floor(p.X)), std::fabs(std::floor(q.Y) - std::floor(p.Y)));
    };
    // Cut to a margin around the bounds so that the steps below stay few and in integer range;
    // a dash pattern still moves on by the steps cut away.
    if (!ClipSegment(a, b, FBounds.Left - 2.0, FBounds.Top - 2.0, FBounds.Right + 2.0, FBounds.Bottom + 2.0)) {
        if (dash) dash->Advance(steps(fullA, fullB));
        return;
    }
    if (dash) dash->Advance(steps(fullA, a));
    int32_t x0 = static_cast<int32_t>(std::floor(a.X)), y0 = static_cast<int32_t>(std::floor(a.Y));
    const int32_t x1 = static_cast<int32_t>(std::floor(b.X)), y1 = static_cast<int32_t>(std::floor(b.Y));
    const int32_t dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int32_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int64_t err = int64_t{dx} + dy;
    while (x0 != x1 || y0 != y1) {
        if (!dash || dash->On()) Plot(x0, y0, paint);
        if (dash) dash->Advance(1);
        if (Exhausted()) return;
        const int64_t e2 = 2 * err;
        if (e2 >= dy) err += dy, x0 += sx;
        if (e2 <= dx) err += dx, y0 += sy;
    }
    if (dash) dash->Advance(steps(b, fullB));
}

void TMetaRaster::AddStrokePieces(const TPolygonF& pts, size_t segments, double width, bool caps,
                                  std::vector<TPolygonF>& pieces) {
    const double half = width / 2;
    for (size_t i = 0; i < segments; ++i) {
        const TPointF p = pts[i], q = pts[(i + 1) % pts.size()];
        const double len = std::hypot(q.X - p.X, q.Y - p.Y);
        if (!(len > 0)) continue;
        const double nx = -(q.Y - p.Y) / len * half, ny = (q.X - p.X) / len * half;
        TPolygonF quad{{p.X + nx, p.Y + ny}, {q.X + nx, q.Y + ny}, {q.X - nx, q.Y - ny}, {p.X - nx, p.Y - ny}};
        OrientPositive(quad);
        pieces.push_back(std::move(quad));
    }
    // Round joins and caps; below three pixels they do not show.
    if (width >= 3 || pts.size() == 1)
        for (size_t i = 0; i < pts.size(); ++i)
            if (caps || (i > 0 && i + 1 < pts.size())) pieces.push_back(Disc(pts[i], half));
}

void TMetaRaster::DashedStroke(const TPolygonF& pts, size_t segments, double width, const TMetaPaint& paint,
                               const std::vector<double>& dashes) {
    TDashWalk walk(dashes);
    // Only the part of a segment near the picture is cut into dashes; the rest moves the
    // pattern on.
    const double margin = width + 2;
    const double left = FBounds.Left - margin, top = FBounds.Top - margin;
    const double right = FBounds.Right + margin, bottom = FBounds.Bottom + margin;
    std::vector<TPolygonF> pieces;
    TPolygonF run;
    auto flush = [&] {
        if (run.size() >= 2) AddStrokePieces(run, run.size() - 1, width, false, pieces);
        run.clear();
    };
    for (size_t i = 0; i < segments && !Exhausted(); ++i) {
        const TPointF p = pts[i], q = pts[(i + 1) % pts.size()];
        const double len = std::hypot(q.X - p.X, q.Y - p.Y);
        if (!(len > 0) || !std::isfinite(len)) continue;
        TPointF a = p, b = q;
        if (!ClipSegment(a, b, left, top, right, bottom)) {
            flush();
            walk.Advance(len);
            continue;
        }
        const double from = std::hypot(a.X - p.X, a.Y - p.Y), to = std::hypot(b.X - p.X, b.Y - p.Y);
        const double ux = (q.X - p.X) / len, uy = (q.Y - p.Y) / len;
        if (from > 0) {
            flush();
            walk.Advance(from);
        }
        for (double at = from; at < to && !Exhausted();) {
            const bool on = walk.On();
            const double step = std::min(walk.Left(), to - at);
            if (on) {
                if (run.empty()) run.push_back({p.X + ux * at, p.Y + uy * at});
                run.push_back({p.X + ux * (at + step), p.Y + uy * (at + step)});
            }
            walk.Advance(step);
            at += step;
            ++FWork;
            if (on && !walk.On()) flush();
        }
        if (to < len) {
            flush();
            walk.Advance(len - to);
        }
    }
    flush();
    FillPolygons(pieces, true, paint);
}

void TMetaRaster::StrokePolyline(const TPolygonF& points, bool closed, double width, const TMetaPaint& paint,
                                 const std::vector<double>& dashes) {
    // A line's pixel centres sit half a pixel from the coordinate grid that fills use.
    TPolygonF pts;
    pts.reserve(points.size());
    for (const TPointF& p : points) {
        if (!Finite(p)) return;
        TPointF q{p.X + 0.5, p.Y + 0.5};
        if (pts.empty() || q.X != pts.back().X || q.Y != pts.back().Y) pts.push_back(q);
    }
    if (closed && pts.size() > 1 && pts.front().X == pts.back().X && pts.front().Y == pts.back().Y) pts.pop_back();
    if (pts.empty() || Exhausted()) return;
    const size_t segments = closed && pts.size() > 2 ? pts.size() : pts.size() - 1;
    double period = 0;
    for (double d : dashes) period += d;
    const bool dashed = period > 0 && segments > 0;
    if (width < 1.5) {
        std::optional<TDashWalk> walk;
        if (dashed) walk.emplace(dashes);
        for (size_t i = 0; i < segments && !Exhausted(); ++i)
            Hairline(pts[i], pts[(i + 1) % pts.size()], paint, walk ? &*walk : nullptr);
        return;
    }
    if (dashed) {
        DashedStroke(pts, segments, width, paint, dashes);
        return;
    }
    std::vector<TPolygonF> pieces;
    pieces.reserve(segments + (width >= 3 || pts.size() == 1 ? pts.size() : 0));
    AddStrokePieces(pts, segments, width, true, pieces);
    FillPolygons(pieces, true, paint);
}

void TMetaRaster::ShadeTriangle(const TPointF (&c)[3], const double (&rgb)[3][3]) {
    if (Exhausted()) return;
    const double e1x = c[1].X - c[0].X, e1y = c[1].Y - c[0].Y, e2x = c[2].X - c[0].X, e2y = c[2].Y - c[0].Y;
    const double det = e1x * e2y - e2x * e1y;
    if (det == 0 || !std::isfinite(det)) return;
    Scan({TPolygonF{c[0], c[1], c[2]}}, false, [&](int32_t y, int32_t x0, int32_t x1) {
        ForClippedSpans(y, x0, x1, [&](int32_t a, int32_t b) {
            FWork += b - a;
            if (Exhausted()) return;
            for (int32_t x = a; x < b; ++x) {
                // The pixel centre's weights for the second and third corner.
                const double px = x + 0.5 - c[0].X, py = y + 0.5 - c[0].Y;
                const double w1 = (px * e2y - py * e2x) / det, w2 = (py * e1x - px * e1y) / det;
                uint8_t v[3];
                for (int k = 0; k < 3; ++k)
                    v[k] = static_cast<uint8_t>(
                        std::clamp((1 - w1 - w2) * rgb[0][k] + w1 * rgb[1][k] + w2 * rgb[2][k] + 0.5, 0.0, 255.0));
                Write(x, y, RGBColor(v[0], v[1], v[2]));
            }
        });
    });
}

void TMetaRaster::BlendSpan(int32_t y, int32_t x, int32_t length, uint8_t coverage, TColor color) {
    if (coverage == 0 || length <= 0 || Exhausted()) return;
    const int32_t end = static_cast<int32_t>(std::min<int64_t>(int64_t{x} + length, INT32_MAX));
    ForClippedSpans(y, x, end, [&](int32_t a, int32_t b) {
        FWork += b - a;
        if (Exhausted()) return;
        for (int32_t i = a; i < b; ++i) {
            if (coverage == 255) {
                Write(i, y, color);
                continue;
            }
            const TColor d = Read(i, y);
            auto mix = [&](int shift) {
                const uint32_t s = (color >> shift) & 0xFF, t = (d >> shift) & 0xFF;
                return ((s * coverage + t * (255u - coverage) + 127) / 255) << shift;
            };
            Write(i, y, mix(0) | mix(8) | mix(16));
        }
    });
}

void TMetaRaster::StretchImage(const TMetaDib& image, const TAffine& toSource, const TPointF (&quad)[4], double sx0,
                               double sy0, double sx1, double sy1, const TBlitMode& mode) {
    if (image.Width <= 0 || image.Height <= 0 || Exhausted()) return;
    double minX = quad[0].X, maxX = minX, minY = quad[0].Y, maxY = minY;
    for (const TPointF& p : quad) {
        if (!Finite(p)) return;
        minX = std::min(minX, p.X), maxX = std::max(maxX, p.X);
        minY = std::min(minY, p.Y), maxY = std::max(maxY, p.Y);
    }
    if (sx0 > sx1) std::swap(sx0, sx1);
    if (sy0 > sy1) std::swap(sy0, sy1);
    sx0 = std::max(sx0, 0.0), sy0 = std::max(sy0, 0.0);
    sx1 = std::min(sx1, static_cast<double>(image.Width)), sy1 = std::min(sy1, static_cast<double>(image.Height));
    const int32_t xa = ClampToInt(std::floor(minX), FBounds.Left, FBounds.Right);
    const int32_t xb = ClampToInt(std::ceil(maxX), FBounds.Left, FBounds.Right);
    const int32_t ya = ClampToInt(std::floor(minY), FBounds.Top, FBounds.Bottom);
    const int32_t yb = ClampToInt(std::ceil(maxY), FBounds.Top, FBounds.Bottom);
    const uint8_t rop = static_cast<uint8_t>(mode.Rop >> 16);
    for (int32_t y = ya; y < yb; ++y) {
        ForClippedSpans(y, xa, xb, [&](int32_t a, int32_t b) {
            FWork += b - a;
            if (Exhausted()) return;
            for (int32_t x = a; x < b; ++x) {
                const TPointF s = toSource.Apply({x + 0.5, y + 0.5});
                if (!(s.X >= sx0 && s.X < sx1 && s.Y >= sy0 && s.Y < sy1)) continue;
                const uint32_t v = image.At(static_cast<int32_t>(s.X), static_cast<int32_t>(s.Y));
                uint8_t code = rop;
                if (mode.Mask) {
                    const double mx = s.X + mode.MaskOffset.X, my = s.Y + mode.MaskOffset.Y;
                    if (mx >= 0 && my >= 0 && mx < mode.Mask->Width && my < mode.Mask->Height) {
                        const uint32_t m = mode.Mask->At(static_cast<int32_t>(mx), static_cast<int32_t>(my));
                        if (GetRValue(m) + GetGValue(m) + GetBValue(m) < 384) code = mode.BackRop;
                    }
                    if (code == 0xAA) continue;
                }
                const TColor src = v & 0xFFFFFF;
                const uint32_t alpha = v >> 24;
                if (image.Masked && alpha == 0) continue;
                if (mode.Transparent) {
                    if (src == (mode.TransparentColor & 0xFFFFFF)) continue;
                    Write(x, y, src);
                } else if (mode.Blend) {
                    const uint32_t k = mode.ConstantAlpha;
                    const uint32_t srcA = mode.SourceAlpha ? alpha * k / 255 : k;
                    const TColor d = Read(x, y);
                    auto mix = [&](int shift) {
                        const uint32_t sc = (src >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
                        const uint32_t sPart = mode.SourceAlpha ? sc * k / 255 : sc * srcA / 255;
                        return std::min<uint32_t>(255, sPart + dc * (255 - srcA) / 255) << shift;
                    };
                    Write(x, y, mix(0) | mix(8) | mix(16));
                } else if (code == 0xCC) {
                    Write(x, y, src);
                } else {
                    Write(x, y, ApplyRop3(code, mode.PatternColor, src, Read(x, y)));
                }
            }
        });
        if (Exhausted()) return;
    }
}
