// The drawing state that metafile records act on, shared by the WMF and EMF players: pen,
// brush, mapping mode with window and viewport, world transform, current position, clip
// region, path and saved states. Shapes arrive in logical coordinates and leave as polygons
// and strokes for the rasteriser.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "metafile_dib.h"
#include "metafile_raster.h"
#include "metafile_text.h"

enum TMapMode : int {
    mmText = 1, mmLoMetric = 2, mmHiMetric = 3, mmLoEnglish = 4, mmHiEnglish = 5, mmTwips = 6,
    mmIsotropic = 7, mmAnisotropic = 8
};

enum TPenStyle : int {
    PenStyleSolid = 0, PenStyleDash = 1, PenStyleDot = 2, PenStyleDashDot = 3, PenStyleDashDotDot = 4,
    PenStyleNull = 5, PenStyleInsideFrame = 6, PenStyleUser = 7, PenStyleAlternate = 8
};
constexpr int BrushStyleSolid = 0, BrushStyleNull = 1, BrushStyleHatched = 2, BrushStylePattern = 3;

struct TMetaPen {
    int Style = 0;
    double Width = 0;  // logical units; 0 draws one pixel wide
    TColor Color = 0;
    bool Cosmetic = false;  // one pixel wide whatever the width
    bool Geometric = false;  // an extended pen that scales its dashes with its width
    std::vector<double> UserStyle;  // dash and gap lengths of PenStyleUser
};

struct TMetaBrush {
    int Style = BrushStyleSolid;
    TColor Color = 0xFFFFFF;
    int Hatch = 0;
    std::shared_ptr<const TMetaDib> Pattern;  // for pattern brushes
};

inline TMetaBrush MakeBrush(int style, TColor color) {
    TMetaBrush b;
    b.Style = style;
    b.Color = color;
    return b;
}

struct TDCState {
    TMetaPen Pen;
    TMetaBrush Brush;
    int MapMode = mmText;
    TPointF WindowOrg{0, 0}, WindowExt{1, 1}, ViewportOrg{0, 0}, ViewportExt{1, 1};
    TAffine World;
    TPointF Position;
    bool Winding = false;  // polygon fill mode
    int Rop2 = 13;
    bool Opaque = true;  // background mode
    TColor BkColor = 0xFFFFFF;
    bool Clockwise = false;  // arc direction
    std::shared_ptr<const TMetaRegion> Clip;
    std::shared_ptr<const std::vector<TColor>> Palette;
    std::shared_ptr<const TMetaFont> Font;  // null: the default font
    TColor TextColor = 0;
    uint32_t TextAlign = 0;
    double CharExtra = 0;  // logical units between characters
};

// What a pie, chord, arc or ArcTo record draws of the ellipse.
enum class TArcKind { Arc, Chord, Pie, ArcTo };

class TMetaCanvas {
public:
    static constexpr size_t MaxSavedStates = 1024;
    // Points one path, or one flattened run of curves, may hold: 16 MB of them.
    static constexpr size_t MaxPathPoints = size_t{1} << 20;

    // deviceToTarget places the metafile's device units on the target; devicePerMm gives the
    // device units in a millimetre, which the metric mapping modes need. Text takes its
    // fonts from `fonts`.
    TMetaCanvas(TMetaRaster& raster, const TAffine& deviceToTarget, double devicePerMmX, double devicePerMmY,
                TMetaFontSource& fonts = SystemFontSource());
    ~TMetaCanvas();

    TDCState& State() { return FState; }
    TMetaRaster& Raster() { return FRaster; }
    bool Exhausted() const { return FRaster.Exhausted(); }
    // The logical-to-target map in force.
    const TAffine& Transform() const { return FTransform; }
    // A width and height in device pixels as logical extents (negative where the mapping runs
    // the other way), for the records that size their output on the device.
    TPointF DeviceExtentToLogical(double cx, double cy) const;
    // Target pixels per device unit (for device-unit regions).
    const TAffine& DeviceToTarget() const { return FDeviceToTarget; }

    // Mapping. Every change recomputes the transform; zero extents are refused as the platform does.
    void SetMapMode(int mode);
    void SetWindowOrg(double x, double y);
    void SetWindowExt(double x, double y);
    void SetViewportOrg(double x, double y);
    void SetViewportExt(double x, double y);
    void ScaleWindowExt(double xNum, double xDenom, double yNum, double yDenom);
    void ScaleViewportExt(double xNum, double xDenom, double yNum, double yDenom);
    void SetWorldTransform(const TAffine& m);
    void ModifyWorldTransform(const TAffine& m, int mode);

    void SaveDC();
    void RestoreDC(int32_t which);

    // Drawing, logical coordinates.
    void MoveTo(TPointF p);
    void LineTo(TPointF p);
    void Polyline(const TPolygonF& points, bool fromPosition);
    void PolyBezier(const TPolygonF& points, bool fromPosition);
    void PolyPolyline(const std::vector<TPolygonF>& lines);
    void Polygons(const std::vector<TPolygonF>& polygons);
    void PolyDraw(const TPolygonF& points, const std::vector<uint8_t>& types);
    void Rectangle(double l, double t, double r, double b);
    void RoundRect(double l, double t, double r, double b, double w, double h);
    void Ellipse(double l, double t, double r, double b);
    void ArcShape(TArcKind kind, double l, double t, double r, double b, TPointF start, TPointF end);
    void AngleArc(TPointF center, double radius, double startDegrees, double sweepDegrees);
    void SetPixel(TPointF p, TColor color);
    // A triangle of logical corners shaded between the corners' colours (0 to 255 a channel).
    void ShadeTriangle(const TPointF (&corners)[3], const double (&rgb)[3][3]);
    // Pattern-only raster operations over a logical rectangle.
    void PatBlt(double x, double y, double w, double h, uint32_t rop);
    // The same over a region in target pixels.
    void PaintRegion(const TMetaRegion& region, uint32_t rop);
    // Paints the brush along the inside of a region's border, w by h logical units thick.
    void FrameRegion(const TMetaRegion& region, double w, double h);
    // Draws a bitmap's source rectangle into a logical destination rectangle. countFromBottom:
    // source rows count from the bottom of a bottom-up bitmap (the DIB records' convention).
    void StretchDib(const TMetaDib& dib, double x, double y, double w, double h, double sx, double sy, double sw,
                    double sh, bool countFromBottom, TBlitMode mode);
    // Draws a bitmap's source rectangle (rows top-down) onto the parallelogram whose corners
    // for the source's top left, top right and bottom left are given in logical units.
    void ParallelogramDib(const TMetaDib& dib, const TPointF (&corners)[3], double sx, double sy, double sw,
                          double sh, TBlitMode mode);

    // A string of a text record in the current font, colours and alignment; the opaque
    // rectangle fills even without a string or a font.
    void TextOut(const TMetaText& text);

    // Paths.
    void BeginPath();
    void EndPath() { FInPath = false; }
    void AbortPath();
    void CloseFigure();
    void FillPath() { DrawPath(true, false); }
    void StrokePath() { DrawPath(false, true); }
    void StrokeAndFillPath() { DrawPath(true, true); }
    void SelectClipPath(int mode);

    // Clipping; region modes are 1 and, 2 or, 3 xor, 4 difference, 5 copy.
    void IntersectClipRect(double l, double t, double r, double b);
    void ExcludeClipRect(double l, double t, double r, double b);
    // region in target pixels; null with mode 5 removes the clip.
    void SelectClipRegion(const TMetaRegion* region, int mode);
    void OffsetClip(double dx, double dy);
    // A rectangle in device units as target pixels.
    TRect DeviceRectToTarget(double l, double t, double r, double b) const;

private:
    struct TFigure {
        TPolygonF Points;  // target pixels
        bool Closed = false;
    };

    void UpdateTransform();
    // Setting a clip sorts its rectangles: work like any other, charged by its size.
    void ApplyClip() {
        FRaster.Charge(FState.Clip ? 8 * static_cast<int64_t>(FState.Clip->Rects().size()) + 1 : 1);
        FRaster.SetClip(FState.Clip);
    }
    TMetaRegion CurrentClip() const;
    void CombineClip(const TMetaRegion& region, int mode);
    TRect LogicalRectToTarget(double l, double t, double r, double b) const;
    TPointF ToTarget(TPointF p) const { return FTransform.Apply(p); }
    // Emits figures given in logical coordinates: into the open path, or filled and stroked.
    // Shapes given by a bounding rectangle (rectangles, ellipses, chords, pies) leave out
    // that rectangle's right and bottom edge, as the platform draws them: given `box` (left,
    // top, right, bottom in logical units), the figures are narrowed by one target pixel there.
    void Output(std::vector<TPolygonF> figures, bool closed, bool fill, const double* box = nullptr);
    // Extends the open figure (paths) or strokes from the current position.
    void OutputFromPosition(const TPolygonF& points);
    void Stroke(const std::vector<TFigure>& figures);
    void Fill(const std::vector<TFigure>& figures);
    void DrawPath(bool fill, bool stroke);
    double PenWidth() const;
    // The pen's dash and gap lengths in pixels for a line of this width; empty when solid.
    std::vector<double> PenDashes(double width) const;
    TMetaPaint PenPaint() const;
    // The paint of a pattern-only raster operation; false when it paints nothing.
    bool RopPaint(uint32_t rop, TMetaPaint& paint) const;
    bool BrushPaint(TMetaPaint& paint) const;
    int EllipseSegments(double rx, double ry) const;
    TPolygonF EllipseArc(double cx, double cy, double rx, double ry, double from, double sweep) const;
    TPolygonF Bezier(TPointF p0, TPointF p1, TPointF p2, TPointF p3) const;
    // True when shapes and arcs run clockwise on the device.
    bool ShapesClockwise() const;
    // Takes n more points into the path when it has room for them (they are then charged as
    // work); false when the path is full, and the points are dropped.
    bool PathRoom(size_t n);
    void ClearPath();

    TMetaRaster& FRaster;
    TAffine FDeviceToTarget;
    double FDevicePerMmX, FDevicePerMmY;
    TDCState FState;
    TAffine FTransform;
    std::vector<TDCState> FSaved;
    bool FInPath = false;
    bool FFigureOpen = false;
    std::vector<TFigure> FPath;
    size_t FPathPoints = 0;  // points held by FPath; a path holds at most MaxPathPoints
    TMetaFontSource& FFonts;
    std::unique_ptr<TMetaTextRenderer> FText;  // made by the first string
};
