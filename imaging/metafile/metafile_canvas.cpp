#include "metafile_canvas.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double Pi = 3.14159265358979323846;

// Raster operation codes of the pattern-only blits.
constexpr uint8_t RopBlackness = 0x00, RopDstInvert = 0x55, RopPatInvert = 0x5A, RopPatCopy = 0xF0,
                  RopWhiteness = 0xFF;

double MillimetresPerUnit(int mode) {
    switch (mode) {
        case mmLoMetric: return 0.1;
        case mmHiMetric: return 0.01;
        case mmLoEnglish: return 0.254;
        case mmHiEnglish: return 0.0254;
        case mmTwips: return 25.4 / 1440;
        default: return 0;
    }
}

TPolygonF RectPoints(double l, double t, double r, double b) { return {{l, t}, {r, t}, {r, b}, {l, b}}; }

// The map that narrows a box given by its corners (in target pixels) by one pixel at its
// right and bottom, keeping its left and top in place.
TAffine ExcludeRightAndBottom(const TPointF corners[4]) {
    double minX = corners[0].X, maxX = minX, minY = corners[0].Y, maxY = minY;
    for (int i = 1; i < 4; ++i) {
        minX = std::min(minX, corners[i].X), maxX = std::max(maxX, corners[i].X);
        minY = std::min(minY, corners[i].Y), maxY = std::max(maxY, corners[i].Y);
    }
    const double w = maxX - minX, h = maxY - minY;
    if (!std::isfinite(w) || !std::isfinite(h)) return TAffine{};
    const double sx = w > 1 ? (w - 1) / w : 1, sy = h > 1 ? (h - 1) / h : 1;
    return TAffine{sx, 0, 0, sy, minX * (1 - sx), minY * (1 - sy)};
}

}  // namespace

TMetaCanvas::TMetaCanvas(TMetaRaster& raster, const TAffine& deviceToTarget, double devicePerMmX,
                         double devicePerMmY, TMetaFontSource& fonts)
    : FRaster(raster),
      FDeviceToTarget(deviceToTarget),
      FDevicePerMmX(devicePerMmX),
      FDevicePerMmY(devicePerMmY),
      FFonts(fonts) {
    UpdateTransform();
    ApplyClip();
}

TMetaCanvas::~TMetaCanvas() = default;

// ---- mapping ----

void TMetaCanvas::UpdateTransform() {
    const TDCState& s = FState;
    double sx = 1, sy = 1;
    if (double mm = MillimetresPerUnit(s.MapMode); mm > 0) {
        sx = mm * FDevicePerMmX, sy = -mm * FDevicePerMmY;
    } else if (s.MapMode == mmIsotropic || s.MapMode == mmAnisotropic) {
        sx = s.ViewportExt.X / s.WindowExt.X, sy = s.ViewportExt.Y / s.WindowExt.Y;
        if (s.MapMode == mmIsotropic) {
            const double m = std::min(std::fabs(sx), std::fabs(sy));
            sx = std::copysign(m, sx), sy = std::copysign(m, sy);
        }
    }
    const TAffine page{sx, 0, 0, sy, s.ViewportOrg.X - s.WindowOrg.X * sx, s.ViewportOrg.Y - s.WindowOrg.Y * sy};
    FTransform = s.World.Then(page).Then(FDeviceToTarget);
}

void TMetaCanvas::SetMapMode(int mode) {
    if (mode < mmText || mode > mmAnisotropic) return;
    FState.MapMode = mode;
    UpdateTransform();
}

void TMetaCanvas::SetWindowOrg(double x, double y) {
    FState.WindowOrg = {x, y};
    UpdateTransform();
}

void TMetaCanvas::SetWindowExt(double x, double y) {
    if (x == 0 || y == 0 || !std::isfinite(x) || !std::isfinite(y)) return;
    FState.WindowExt = {x, y};
    UpdateTransform();
}

void TMetaCanvas::SetViewportOrg(double x, double y) {
    FState.ViewportOrg = {x, y};
    UpdateTransform();
}

void TMetaCanvas::SetViewportExt(double x, double y) {
    if (x == 0 || y == 0 || !std::isfinite(x) || !std::isfinite(y)) return;
    FState.ViewportExt = {x, y};
    UpdateTransform();
}

void TMetaCanvas::ScaleWindowExt(double xNum, double xDenom, double yNum, double yDenom) {
    if (xDenom == 0 || yDenom == 0) return;
    SetWindowExt(FState.WindowExt.X * xNum / xDenom, FState.WindowExt.Y * yNum / yDenom);
}

void TMetaCanvas::ScaleViewportExt(double xNum, double xDenom, double yNum, double yDenom) {
    if (xDenom == 0 || yDenom == 0) return;
    SetViewportExt(FState.ViewportExt.X * xNum / xDenom, FState.ViewportExt.Y * yNum / yDenom);
}

void TMetaCanvas::SetWorldTransform(const TAffine& m) {
    TAffine unused;
    if (!m.Invert(unused)) return;
    FState.World = m;
    UpdateTransform();
}

void TMetaCanvas::ModifyWorldTransform(const TAffine& m, int mode) {
    switch (mode) {
        case 1: FState.World = TAffine{}; break;
        case 2: SetWorldTransform(m.Then(FState.World)); return;
        case 3: SetWorldTransform(FState.World.Then(m)); return;
        case 4: SetWorldTransform(m); return;
        default: return;
    }
    UpdateTransform();
}

void TMetaCanvas::SaveDC() {
    if (FSaved.size() < MaxSavedStates) FSaved.push_back(FState);
}

void TMetaCanvas::RestoreDC(int32_t which) {
    const int64_t depth = static_cast<int64_t>(FSaved.size());
    const int64_t k = which < 0 ? depth + which : int64_t{which} - 1;
    if (k < 0 || k >= depth) return;
    FState = FSaved[static_cast<size_t>(k)];
    FSaved.resize(static_cast<size_t>(k));
    UpdateTransform();
    ApplyClip();
}

// ---- paints ----

double TMetaCanvas::PenWidth() const {
    if (FState.Pen.Cosmetic || FState.Pen.Width <= 0) return 1;
    const double w = FState.Pen.Width * FTransform.LengthScale();
    // Nothing wider than the picture itself can show.
    const TRect& b = FRaster.Bounds();
    const double limit = 2.0 * (std::abs(b.Width()) + std::abs(b.Height())) + 16;
    return std::isfinite(w) ? std::clamp(w, 1.0, limit) : 1;
}

std::vector<double> TMetaCanvas::PenDashes(double width) const {
    const TMetaPen& pen = FState.Pen;
    // Cosmetic pens count their patterns in pixels, geometric ones in pen widths and their
    // user styles in logical units. A plain pen is geometric once it is wider than a pixel.
    const bool pixels = pen.Cosmetic || (!pen.Geometric && width < 1.5);
    std::vector<double> d;
    double unit = pixels ? 1 : width;
    switch (pen.Style) {
        case PenStyleDash: d = pixels ? std::vector<double>{18, 6} : std::vector<double>{3, 1}; break;
        case PenStyleDot: d = pixels ? std::vector<double>{3, 3} : std::vector<double>{1, 1}; break;
        case PenStyleDashDot: d = pixels ? std::vector<double>{9, 6, 3, 6} : std::vector<double>{3, 1, 1, 1}; break;
        case PenStyleDashDotDot:
            d = pixels ? std::vector<double>{9, 3, 3, 3, 3, 3} : std::vector<double>{3, 1, 1, 1, 1, 1};
            break;
        case PenStyleAlternate: d = {1, 1}, unit = 1; break;
        case PenStyleUser:
            d = pen.UserStyle;
            unit = pixels ? 1 : FTransform.LengthScale();
            // An odd count repeats with dashes and gaps swapped.
            if (d.size() % 2) d.insert(d.end(), pen.UserStyle.begin(), pen.UserStyle.end());
            break;
        default: return {};
    }
    double period = 0;
    for (double& v : d) {
        v *= unit;
        if (!(v >= 0) || !std::isfinite(v)) return {};
        period += v;
    }
    // A pattern finer than two pixels could not show: such a pen draws solid.
    if (!(period >= 2) || !std::isfinite(period)) return {};
    return d;
}

TMetaPaint TMetaCanvas::PenPaint() const {
    TMetaPaint p;
    p.Color = FState.Pen.Color & 0xFFFFFF;
    p.Rop2 = FState.Rop2;
    return p;
}

bool TMetaCanvas::BrushPaint(TMetaPaint& p) const {
    const TMetaBrush& b = FState.Brush;
    if (b.Style == BrushStyleNull) return false;
    p = TMetaPaint{};
    p.Color = b.Color & 0xFFFFFF;
    p.Rop2 = FState.Rop2;
    p.OriginX = FRaster.Bounds().Left, p.OriginY = FRaster.Bounds().Top;
    if (b.Style == BrushStyleHatched && b.Hatch >= 0 && b.Hatch <= 5) {
        p.Hatch = b.Hatch;
        p.Opaque = FState.Opaque;
        p.BkColor = FState.BkColor & 0xFFFFFF;
    } else if (b.Pattern) {
        p.Pattern = b.Pattern;
    }
    return true;
}

// ---- output ----

void TMetaCanvas::Stroke(const std::vector<TFigure>& figures) {
    if (FState.Pen.Style == PenStyleNull) return;
    const double width = PenWidth();
    const TMetaPaint paint = PenPaint();
    const std::vector<double> dashes = PenDashes(width);
    for (const TFigure& f : figures) {
        if (FRaster.Exhausted()) return;
        FRaster.StrokePolyline(f.Points, f.Closed, width, paint, dashes);
    }
}

void TMetaCanvas::Fill(const std::vector<TFigure>& figures) {
    TMetaPaint paint;
    if (!BrushPaint(paint)) return;
    std::vector<TPolygonF> polygons;
    polygons.reserve(figures.size());
    for (const TFigure& f : figures) polygons.push_back(f.Points);
    FRaster.FillPolygons(polygons, FState.Winding, paint);
}

void TMetaCanvas::Output(std::vector<TPolygonF> figures, bool closed, bool fill, const double* box) {
    std::vector<TFigure> out;
    out.reserve(figures.size());
    for (TPolygonF& f : figures) {
        if (f.empty()) continue;
        for (TPointF& p : f) p = ToTarget(p);
        out.push_back(TFigure{std::move(f), closed});
    }
    if (box != nullptr) {
        const TPointF corners[4] = {ToTarget({box[0], box[1]}), ToTarget({box[2], box[1]}), ToTarget({box[2], box[3]}),
                                    ToTarget({box[0], box[3]})};
        const TAffine narrow = ExcludeRightAndBottom(corners);
        for (TFigure& f : out)
            for (TPointF& p : f.Points) p = narrow.Apply(p);
    }
    if (FInPath) {
        for (TFigure& f : out)
            if (PathRoom(f.Points.size())) FPath.push_back(std::move(f));
        FFigureOpen = false;
        return;
    }
    if (fill) Fill(out);
    Stroke(out);
}

void TMetaCanvas::OutputFromPosition(const TPolygonF& points) {
    if (points.empty()) return;
    if (FInPath) {
        if (!FFigureOpen || FPath.empty()) {
            if (!PathRoom(1)) return;
            FPath.push_back(TFigure{{ToTarget(FState.Position)}, false});
            FFigureOpen = true;
        }
        if (!PathRoom(points.size())) return;
        for (const TPointF& p : points) FPath.back().Points.push_back(ToTarget(p));
    } else {
        TFigure f;
        f.Points.reserve(points.size() + 1);
        f.Points.push_back(ToTarget(FState.Position));
        for (const TPointF& p : points) f.Points.push_back(ToTarget(p));
        Stroke({f});
    }
    FState.Position = points.back();
}

void TMetaCanvas::MoveTo(TPointF p) {
    FState.Position = p;
    FFigureOpen = false;
}

void TMetaCanvas::LineTo(TPointF p) { OutputFromPosition({p}); }

void TMetaCanvas::Polyline(const TPolygonF& points, bool fromPosition) {
    if (fromPosition) {
        OutputFromPosition(points);
    } else if (points.size() >= 2) {
        if (FInPath) {
            MoveTo(points.front());
            OutputFromPosition(TPolygonF(points.begin() + 1, points.end()));
        } else {
            Output({points}, false, false);
        }
    }
}

void TMetaCanvas::PolyPolyline(const std::vector<TPolygonF>& lines) {
    for (const TPolygonF& line : lines) {
        if (FRaster.Exhausted()) return;
        Polyline(line, false);
    }
}

void TMetaCanvas::Polygons(const std::vector<TPolygonF>& polygons) { Output(polygons, true, true); }

TPolygonF TMetaCanvas::Bezier(TPointF p0, TPointF p1, TPointF p2, TPointF p3) const {
    const TPointF q[4] = {ToTarget(p0), ToTarget(p1), ToTarget(p2), ToTarget(p3)};
    double len = 0;
    for (int i = 0; i < 3; ++i) len += std::hypot(q[i + 1].X - q[i].X, q[i + 1].Y - q[i].Y);
    const int n = std::isfinite(len) ? static_cast<int>(std::clamp(len / 3, 2.0, 256.0)) : 2;
    TPolygonF pts;
    pts.reserve(static_cast<size_t>(n));
    for (int i = 1; i <= n; ++i) {
        const double t = static_cast<double>(i) / n, u = 1 - t;
        const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
        pts.push_back({a * p0.X + b * p1.X + c * p2.X + d * p3.X, a * p0.Y + b * p1.Y + c * p2.Y + d * p3.Y});
    }
    return pts;
}

void TMetaCanvas::PolyBezier(const TPolygonF& points, bool fromPosition) {
    TPolygonF flat;
    size_t i = 0;
    TPointF start = FState.Position;
    if (!fromPosition) {
        if (points.empty()) return;
        start = points[0];
        i = 1;
    }
    // Each segment becomes up to 256 points: a long run of segments is cut where its points
    // would outgrow what one figure may hold or the drawing's work runs out.
    for (TPointF last = start; i + 3 <= points.size() && flat.size() < MaxPathPoints && !FRaster.Exhausted(); i += 3) {
        TPolygonF part = Bezier(last, points[i], points[i + 1], points[i + 2]);
        FRaster.Charge(static_cast<int64_t>(part.size()));
        flat.insert(flat.end(), part.begin(), part.end());
        last = points[i + 2];
    }
    if (fromPosition) {
        OutputFromPosition(flat);
    } else {
        flat.insert(flat.begin(), start);
        Polyline(flat, false);
    }
}

void TMetaCanvas::PolyDraw(const TPolygonF& points, const std::vector<uint8_t>& types) {
    constexpr uint8_t CloseFigureFlag = 1, LineToType = 2, BezierToType = 4, MoveToType = 6;
    TPointF figureStart = FState.Position;
    for (size_t i = 0; i < points.size() && i < types.size(); ++i) {
        const uint8_t kind = types[i] & ~CloseFigureFlag;
        bool close = types[i] & CloseFigureFlag;
        if (kind == MoveToType) {
            MoveTo(points[i]);
            figureStart = points[i];
            continue;
        }
        if (kind == LineToType) {
            LineTo(points[i]);
        } else if (kind == BezierToType && i + 2 < points.size()) {
            PolyBezier({points[i], points[i + 1], points[i + 2]}, true);
            close = (types[i + 2] & CloseFigureFlag) != 0;
            i += 2;
        } else {
            return;
        }
        if (close) {
            if (FInPath) CloseFigure();
            else LineTo(figureStart);
        }
    }
}

TPointF TMetaCanvas::DeviceExtentToLogical(double cx, double cy) const {
    const double tx = cx * FDeviceToTarget.A + cy * FDeviceToTarget.C, ty = cx * FDeviceToTarget.B + cy * FDeviceToTarget.D;
    TAffine inverse;
    if (!FTransform.Invert(inverse)) return {cx, cy};
    // Extents have no origin: the linear part alone.
    return {inverse.A * tx + inverse.C * ty, inverse.B * tx + inverse.D * ty};
}

bool TMetaCanvas::ShapesClockwise() const {
    // The direction is meant as seen on the device: a mirroring map turns it round.
    const bool mirrored = FTransform.A * FTransform.D - FTransform.B * FTransform.C < 0;
    return FState.Clockwise != mirrored;
}

void TMetaCanvas::Rectangle(double l, double t, double r, double b) {
    // Counter-clockwise on the device, as ellipses run, unless the arc direction says otherwise:
    // in a path filled by winding, the direction decides what overlapping figures leave open.
    TPolygonF pts = {{l, t}, {l, b}, {r, b}, {r, t}};
    if (ShapesClockwise()) std::reverse(pts.begin(), pts.end());
    const double box[4] = {l, t, r, b};
    Output({std::move(pts)}, true, true, box);
}

int TMetaCanvas::EllipseSegments(double rx, double ry) const {
    const TPointF ax = ToTarget({rx, 0}), ay = ToTarget({0, ry}), o = ToTarget({0, 0});
    const double r = std::max(std::hypot(ax.X - o.X, ax.Y - o.Y), std::hypot(ay.X - o.X, ay.Y - o.Y));
    if (!std::isfinite(r)) return 16;
    // Clamped before the conversion: a radius of billions of pixels does not fit an int.
    return static_cast<int>(std::clamp(r * Pi, 16.0, 1024.0));
}

// Points of an elliptical arc; angles run counter-clockwise as seen with y pointing down.
TPolygonF TMetaCanvas::EllipseArc(double cx, double cy, double rx, double ry, double from, double sweep) const {
    const int full = EllipseSegments(rx, ry);
    const int n = std::max(2, static_cast<int>(std::ceil(std::fabs(sweep) / (2 * Pi) * full)));
    TPolygonF pts;
    pts.reserve(static_cast<size_t>(n) + 1);
    for (int i = 0; i <= n; ++i) {
        const double a = from + sweep * i / n;
        pts.push_back({cx + rx * std::cos(a), cy - ry * std::sin(a)});
    }
    return pts;
}

void TMetaCanvas::Ellipse(double l, double t, double r, double b) {
    const double rx = std::fabs(r - l) / 2, ry = std::fabs(b - t) / 2;
    if (rx == 0 || ry == 0) return;
    TPolygonF pts = EllipseArc((l + r) / 2, (t + b) / 2, rx, ry, 0, 2 * Pi);
    pts.pop_back();
    if (ShapesClockwise()) std::reverse(pts.begin(), pts.end());
    const double box[4] = {l, t, r, b};
    Output({std::move(pts)}, true, true, box);
}

void TMetaCanvas::RoundRect(double l, double t, double r, double b, double w, double h) {
    if (l > r) std::swap(l, r);
    if (t > b) std::swap(t, b);
    const double rx = std::min(std::fabs(w) / 2, (r - l) / 2), ry = std::min(std::fabs(h) / 2, (b - t) / 2);
    if (rx <= 0 || ry <= 0) {
        Rectangle(l, t, r, b);
        return;
    }
    TPolygonF pts;
    auto corner = [&](double cx, double cy, double from) {
        TPolygonF arc = EllipseArc(cx, cy, rx, ry, from, Pi / 2);
        pts.insert(pts.end(), arc.begin(), arc.end());
    };
    corner(r - rx, t + ry, 0);
    corner(l + rx, t + ry, Pi / 2);
    corner(l + rx, b - ry, Pi);
    corner(r - rx, b - ry, 3 * Pi / 2);
    if (ShapesClockwise()) std::reverse(pts.begin(), pts.end());
    const double box[4] = {l, t, r, b};
    Output({std::move(pts)}, true, true, box);
}

void TMetaCanvas::ArcShape(TArcKind kind, double l, double t, double r, double b, TPointF start, TPointF end) {
    const double cx = (l + r) / 2, cy = (t + b) / 2, rx = std::fabs(r - l) / 2, ry = std::fabs(b - t) / 2;
    if (rx == 0 || ry == 0) return;
    const double from = std::atan2(-(start.Y - cy) / ry, (start.X - cx) / rx);
    const double to = std::atan2(-(end.Y - cy) / ry, (end.X - cx) / rx);
    const bool clockwise = ShapesClockwise();
    double sweep = to - from;
    if (!std::isfinite(sweep)) return;
    if (clockwise) {
        if (sweep >= 0) sweep -= 2 * Pi;
    } else if (sweep <= 0) {
        sweep += 2 * Pi;
    }
    TPolygonF pts = EllipseArc(cx, cy, rx, ry, from, sweep);
    const double box[4] = {l, t, r, b};
    switch (kind) {
        case TArcKind::Arc: Output({std::move(pts)}, false, false); break;
        case TArcKind::Chord: Output({std::move(pts)}, true, true, box); break;
        case TArcKind::Pie:
            pts.push_back({cx, cy});
            Output({std::move(pts)}, true, true, box);
            break;
        case TArcKind::ArcTo: OutputFromPosition(pts); break;
    }
}

void TMetaCanvas::AngleArc(TPointF center, double radius, double startDegrees, double sweepDegrees) {
    if (!(radius > 0) || !std::isfinite(sweepDegrees)) return;
    const double sweep = std::clamp(sweepDegrees, -360.0, 360.0) * Pi / 180;
    OutputFromPosition(EllipseArc(center.X, center.Y, radius, radius, startDegrees * Pi / 180, sweep));
}

void TMetaCanvas::SetPixel(TPointF p, TColor color) {
    const TPointF q = ToTarget(p);
    if (!std::isfinite(q.X) || !std::isfinite(q.Y)) return;
    TMetaPaint paint;
    paint.Color = color & 0xFFFFFF;
    const TRect& b = FRaster.Bounds();
    const double x = std::floor(q.X), y = std::floor(q.Y);
    if (x >= b.Left && x < b.Right && y >= b.Top && y < b.Bottom)
        FRaster.Plot(static_cast<int32_t>(x), static_cast<int32_t>(y), paint);
}

void TMetaCanvas::ShadeTriangle(const TPointF (&corners)[3], const double (&rgb)[3][3]) {
    const TPointF target[3] = {ToTarget(corners[0]), ToTarget(corners[1]), ToTarget(corners[2])};
    FRaster.ShadeTriangle(target, rgb);
}

bool TMetaCanvas::RopPaint(uint32_t rop, TMetaPaint& paint) const {
    paint = TMetaPaint{};
    switch (static_cast<uint8_t>(rop >> 16)) {
        case RopPatCopy:
            if (!BrushPaint(paint)) return false;
            paint.Rop2 = 13;
            return true;
        case RopPatInvert:
            if (!BrushPaint(paint)) return false;
            paint.Rop2 = 7;
            return true;
        case RopDstInvert: paint.Rop2 = 6; return true;
        case RopBlackness: paint.Color = 0, paint.Rop2 = 13; return true;
        case RopWhiteness: paint.Color = 0xFFFFFF, paint.Rop2 = 13; return true;
        default: return false;
    }
}

void TMetaCanvas::PatBlt(double x, double y, double w, double h, uint32_t rop) {
    TMetaPaint paint;
    if (!RopPaint(rop, paint)) return;
    TPolygonF rect = RectPoints(x, y, x + w, y + h);
    for (TPointF& p : rect) p = ToTarget(p);
    FRaster.FillPolygons({rect}, false, paint);
}

void TMetaCanvas::PaintRegion(const TMetaRegion& region, uint32_t rop) {
    TMetaPaint paint;
    if (!RopPaint(rop, paint)) return;
    std::vector<TPolygonF> rects;
    rects.reserve(region.Rects().size());
    for (const TRect& r : region.Rects())
        rects.push_back(RectPoints(r.Left, r.Top, r.Right, r.Bottom));
    FRaster.FillPolygons(rects, false, paint);
}

void TMetaCanvas::FrameRegion(const TMetaRegion& region, double w, double h) {
    // The frame is what the region loses when shrunk by the frame's width and height: the
    // region less its overlap with copies of itself moved that far each way.
    const TPointF o = ToTarget({0, 0}), dx = ToTarget({w, 0}), dy = ToTarget({0, h});
    const double fw = std::hypot(dx.X - o.X, dx.Y - o.Y), fh = std::hypot(dy.X - o.X, dy.Y - o.Y);
    const TRect b = FRaster.Bounds();
    auto pixels = [&](double v, int32_t limit) {
        return std::isfinite(v) ? static_cast<int32_t>(std::clamp(std::round(v), 1.0, limit + 1.0)) : limit + 1;
    };
    const int32_t px = pixels(fw, b.Width()), py = pixels(fh, b.Height());
    const int64_t n = static_cast<int64_t>(region.Rects().size());
    FRaster.Charge(4 * n * n + 1);
    if (FRaster.Exhausted()) return;
    TMetaRegion inner = region;
    for (const auto& [mx, my] : {std::pair{px, 0}, {-px, 0}, {0, py}, {0, -py}}) {
        TMetaRegion moved = region;
        moved.Offset(mx, my);
        inner.Intersect(moved);
    }
    TMetaRegion frame = region;
    frame.Subtract(inner);
    PaintRegion(frame, 0x00F00021);
}

void TMetaCanvas::StretchDib(const TMetaDib& dib, double x, double y, double w, double h, double sx, double sy,
                             double sw, double sh, bool countFromBottom, TBlitMode mode) {
    if (w == 0 || h == 0 || dib.Height <= 0) return;
    if (countFromBottom && dib.BottomUp) sy = dib.Height - sy - sh;
    ParallelogramDib(dib, {{x, y}, {x + w, y}, {x, y + h}}, sx, sy, sw, sh, mode);
}

void TMetaCanvas::ParallelogramDib(const TMetaDib& dib, const TPointF (&c)[3], double sx, double sy, double sw,
                                   double sh, TBlitMode mode) {
    if (sw == 0 || sh == 0 || dib.Width <= 0 || dib.Height <= 0) return;
    // Source pixels to logical units, then on to the target; its inverse finds the source.
    const double a = (c[1].X - c[0].X) / sw, b = (c[1].Y - c[0].Y) / sw;
    const double cc = (c[2].X - c[0].X) / sh, d = (c[2].Y - c[0].Y) / sh;
    const TAffine sourceToLogical{a, b, cc, d, c[0].X - a * sx - cc * sy, c[0].Y - b * sx - d * sy};
    TAffine toSource;
    if (!sourceToLogical.Then(FTransform).Invert(toSource)) return;
    const TPointF far{c[1].X + c[2].X - c[0].X, c[1].Y + c[2].Y - c[0].Y};
    const TPointF quad[4] = {ToTarget(c[0]), ToTarget(c[1]), ToTarget(far), ToTarget(c[2])};
    TMetaPaint brush;
    if (BrushPaint(brush)) mode.PatternColor = brush.Color;
    FRaster.StretchImage(dib, toSource, quad, sx, sy, sx + sw, sy + sh, mode);
}

// ---- text ----

void TMetaCanvas::TextOut(const TMetaText& text) {
    // In a path the platform would add the glyphs' outlines; they are left out here.
    if (FInPath) return;
    FRaster.Charge(16);
    const double* rc = text.Rect;
    if (text.HasRect && (text.Options & EtoOpaque)) {
        TMetaPaint paint;
        paint.Color = FState.BkColor & 0xFFFFFF;
        TPolygonF rect = RectPoints(rc[0], rc[1], rc[2], rc[3]);
        for (TPointF& p : rect) p = ToTarget(p);
        FRaster.FillPolygons({rect}, false, paint);
    }
    if (text.Count == 0 || FRaster.Exhausted()) return;
    const bool clipped = text.HasRect && (text.Options & EtoClipped);
    if (clipped) {
        TMetaRegion clip = CurrentClip();
        clip.Intersect(LogicalRectToTarget(rc[0], rc[1], rc[2], rc[3]));
        FRaster.Charge(static_cast<int64_t>(clip.Rects().size()) + 1);
        FRaster.SetClip(std::make_shared<const TMetaRegion>(std::move(clip)));
    }
    const bool updatePosition = (FState.TextAlign & TaUpdateCp) != 0;
    const TAffine& m = FTransform;
    TTextFrame frame;
    frame.Origin = ToTarget(updatePosition ? FState.Position : text.Reference);
    // Text turns with the world transform but is never mirrored: a map that only flips an
    // axis leaves it upright and reading to the right.
    frame.Angle = m.B != 0 || m.C != 0 ? std::atan2(-m.B, m.A) : 0;
    frame.AdvanceScale = std::hypot(m.A, m.B);
    frame.HeightScale = std::hypot(m.C, m.D);
    // A font of height 0 is 12 points on the reference device.
    frame.DefaultHeight = 12.0 / 72 * 25.4 * FDevicePerMmY * std::hypot(FDeviceToTarget.C, FDeviceToTarget.D);
    frame.Align = FState.TextAlign;
    frame.CharExtra = FState.CharExtra;
    frame.Color = FState.TextColor;
    frame.Opaque = FState.Opaque;
    frame.BkColor = FState.BkColor;
    if (!FText) FText = std::make_unique<TMetaTextRenderer>(FFonts);
    static const TMetaFont DefaultFont;
    const TPointF moved = FText->Draw(FRaster, FState.Font ? *FState.Font : DefaultFont, text, frame);
    TAffine inverse;
    if (updatePosition && m.Invert(inverse)) {
        const TPointF to{FState.Position.X + inverse.A * moved.X + inverse.C * moved.Y,
                         FState.Position.Y + inverse.B * moved.X + inverse.D * moved.Y};
        if (std::isfinite(to.X) && std::isfinite(to.Y)) FState.Position = to;
    }
    if (clipped) ApplyClip();
}

// ---- paths ----

bool TMetaCanvas::PathRoom(size_t n) {
    if (n > MaxPathPoints - FPathPoints) return false;
    FPathPoints += n;
    FRaster.Charge(static_cast<int64_t>(n));
    return true;
}

void TMetaCanvas::ClearPath() {
    FPath.clear();
    FPathPoints = 0;
}

void TMetaCanvas::BeginPath() {
    ClearPath();
    FInPath = true;
    FFigureOpen = false;
}

void TMetaCanvas::AbortPath() {
    ClearPath();
    FInPath = false;
    FFigureOpen = false;
}

void TMetaCanvas::CloseFigure() {
    if (FInPath && FFigureOpen && !FPath.empty()) FPath.back().Closed = true;
    FFigureOpen = false;
}

void TMetaCanvas::DrawPath(bool fill, bool stroke) {
    if (FInPath) return;
    std::vector<TFigure> path;
    path.swap(FPath);
    FPathPoints = 0;
    if (fill) {
        // Filling closes every figure.
        for (TFigure& f : path) f.Closed = true;
        Fill(path);
    }
    if (stroke) Stroke(path);
}

void TMetaCanvas::SelectClipPath(int mode) {
    // Without a path there is nothing to clip by, and the clip stays as it is.
    if (FInPath || FPath.empty()) return;
    std::vector<TPolygonF> polygons;
    for (TFigure& f : FPath) polygons.push_back(std::move(f.Points));
    ClearPath();
    CombineClip(FRaster.PolygonRegion(polygons, FState.Winding), mode);
}

// ---- clipping ----

TMetaRegion TMetaCanvas::CurrentClip() const {
    return FState.Clip ? *FState.Clip : TMetaRegion(FRaster.Bounds());
}

void TMetaCanvas::CombineClip(const TMetaRegion& region, int mode) {
    TMetaRegion clip = CurrentClip();
    // Combining regions costs the product of their sizes.
    FRaster.Charge(static_cast<int64_t>(clip.Rects().size() * region.Rects().size()) + 1);
    if (FRaster.Exhausted()) return;
    switch (mode) {
        case 1: clip.Intersect(region); break;
        case 2: clip.Unite(region); break;
        case 3: clip.Xor(region); break;
        case 4: clip.Subtract(region); break;
        case 5:
            clip = region;
            clip.Intersect(FRaster.Bounds());
            break;
        default: return;
    }
    FState.Clip = std::make_shared<const TMetaRegion>(std::move(clip));
    ApplyClip();
}

namespace {
TRect PixelRect(TPointF a, TPointF b) {
    auto px = [](double v) {
        v = std::ceil(v - 0.5);
        return static_cast<int32_t>(std::clamp(v, -1e9, 1e9));
    };
    if (!std::isfinite(a.X + a.Y + b.X + b.Y)) return TRect{};
    return TRect{px(std::min(a.X, b.X)), px(std::min(a.Y, b.Y)), px(std::max(a.X, b.X)), px(std::max(a.Y, b.Y))};
}
}  // namespace

TRect TMetaCanvas::LogicalRectToTarget(double l, double t, double r, double b) const {
    // A rotated rectangle clips by its bounding box.
    const TPointF c[4] = {ToTarget({l, t}), ToTarget({r, t}), ToTarget({r, b}), ToTarget({l, b})};
    TPointF lo = c[0], hi = c[0];
    for (const TPointF& p : c) {
        lo.X = std::min(lo.X, p.X), lo.Y = std::min(lo.Y, p.Y);
        hi.X = std::max(hi.X, p.X), hi.Y = std::max(hi.Y, p.Y);
    }
    return PixelRect(lo, hi);
}

TRect TMetaCanvas::DeviceRectToTarget(double l, double t, double r, double b) const {
    return PixelRect(FDeviceToTarget.Apply({l, t}), FDeviceToTarget.Apply({r, b}));
}

void TMetaCanvas::IntersectClipRect(double l, double t, double r, double b) {
    CombineClip(TMetaRegion(LogicalRectToTarget(l, t, r, b)), 1);
}

void TMetaCanvas::ExcludeClipRect(double l, double t, double r, double b) {
    CombineClip(TMetaRegion(LogicalRectToTarget(l, t, r, b)), 4);
}

void TMetaCanvas::SelectClipRegion(const TMetaRegion* region, int mode) {
    if (region == nullptr) {
        if (mode == 5) {
            FState.Clip.reset();
            ApplyClip();
        }
        return;
    }
    CombineClip(*region, mode);
}

void TMetaCanvas::OffsetClip(double dx, double dy) {
    if (!FState.Clip) return;
    const TPointF o = ToTarget({0, 0}), d = ToTarget({dx, dy});
    const double ox = std::round(d.X - o.X), oy = std::round(d.Y - o.Y);
    if (!std::isfinite(ox) || !std::isfinite(oy)) return;
    TMetaRegion clip = *FState.Clip;
    clip.Offset(static_cast<int32_t>(std::clamp(ox, -1e9, 1e9)), static_cast<int32_t>(std::clamp(oy, -1e9, 1e9)));
    clip.Intersect(FRaster.Bounds());
    FState.Clip = std::make_shared<const TMetaRegion>(std::move(clip));
    ApplyClip();
}
