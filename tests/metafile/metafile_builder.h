// Small metafiles assembled in memory for the tests: records are added one by one and the
// headers are filled in at the end.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "bitmap.h"
#include "metafile/metafile.h"
#include "streams.h"

namespace mftest {

inline void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(v >> 16));
}
inline void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// WMF functions used by the tests.
enum : uint16_t {
    wSetBkColor = 0x0201, wSetBkMode = 0x0102, wSetMapMode = 0x0103, wSetRop2 = 0x0104, wSetPolyFillMode = 0x0106,
    wSetWindowOrg = 0x020B, wSetWindowExt = 0x020C, wLineTo = 0x0213, wMoveTo = 0x0214,
    wExcludeClipRect = 0x0415, wIntersectClipRect = 0x0416, wArc = 0x0817, wEllipse = 0x0418, wPie = 0x081A,
    wRectangle = 0x041B, wRoundRect = 0x061C, wPatBlt = 0x061D, wSaveDC = 0x001E, wSetPixel = 0x041F,
    wPolygon = 0x0324, wPolyline = 0x0325, wRestoreDC = 0x0127, wSelectObject = 0x012D, wChord = 0x0830,
    wPolyPolygon = 0x0538, wDibStretchBlt = 0x0B41, wStretchDib = 0x0F43, wDeleteObject = 0x01F0,
    wCreatePen = 0x02FA, wCreateBrush = 0x02FC, wSetTextColor = 0x0209, wSetTextAlign = 0x012E,
    wTextOut = 0x0521, wExtTextOut = 0x0A32, wCreateFont = 0x02FB, wCreateRegion = 0x06FF, wFrameRegion = 0x0429,
};

// A WMF: placeable with a bounding box and units per inch, or plain.
class WmfBuilder {
public:
    explicit WmfBuilder(int16_t right = 100, int16_t bottom = 100, uint16_t inch = 96, bool placeable = true,
                        int16_t left = 0, int16_t top = 0)
        : FPlaceable(placeable), FLeft(left), FTop(top), FRight(right), FBottom(bottom), FInch(inch) {}

    // A record of 16-bit parameters, in the order they are stored.
    WmfBuilder& Rec(uint16_t function, std::initializer_list<int> params) {
        std::vector<uint8_t> p;
        for (int v : params) Put16(p, static_cast<uint16_t>(v));
        return Raw(function, p);
    }
    // A record with raw parameter bytes (padded to whole words).
    WmfBuilder& Raw(uint16_t function, std::vector<uint8_t> params) {
        if (params.size() % 2) params.push_back(0);
        Put32(FRecords, static_cast<uint32_t>(3 + params.size() / 2));
        Put16(FRecords, function);
        FRecords.insert(FRecords.end(), params.begin(), params.end());
        return *this;
    }
    // A record whose size field says `words`, whatever follows.
    WmfBuilder& Sized(uint32_t words, uint16_t function, std::initializer_list<int> params) {
        Put32(FRecords, words);
        Put16(FRecords, function);
        for (int v : params) Put16(FRecords, static_cast<uint16_t>(v));
        return *this;
    }
    WmfBuilder& Pen(int style, int width, TColor color) {
        std::vector<uint8_t> p;
        Put16(p, static_cast<uint16_t>(style));
        Put16(p, static_cast<uint16_t>(width));
        Put16(p, 0);
        Put32(p, color);
        return Raw(wCreatePen, p);
    }
    WmfBuilder& Brush(int style, TColor color, int hatch = 0) {
        std::vector<uint8_t> p;
        Put16(p, static_cast<uint16_t>(style));
        Put32(p, color);
        Put16(p, static_cast<uint16_t>(hatch));
        return Raw(wCreateBrush, p);
    }
    WmfBuilder& Select(int index) { return Rec(wSelectObject, {index}); }
    // A font record: height, width, escapement, orientation, weight, four flag bytes, four
    // more, and the face name.
    WmfBuilder& Font(int height, const std::string& face, int escapement = 0, int weight = 400) {
        std::vector<uint8_t> p;
        for (int v : {height, 0, escapement, escapement, weight}) Put16(p, static_cast<uint16_t>(v));
        for (int i = 0; i < 8; ++i) p.push_back(0);
        p.insert(p.end(), face.begin(), face.end());
        p.push_back(0);
        return Raw(wCreateFont, p);
    }
    // TEXTOUT, or EXTTEXTOUT with options, an optional rectangle and advances.
    WmfBuilder& Text(int x, int y, const std::string& s, bool ext = false, int options = 0,
                     std::vector<int> rect = {}, std::vector<int> dx = {}) {
        std::vector<uint8_t> p;
        if (!ext) Put16(p, static_cast<uint16_t>(s.size()));
        else for (int v : {y, x, int(s.size()), options}) Put16(p, static_cast<uint16_t>(v));
        for (int v : rect) Put16(p, static_cast<uint16_t>(v));
        p.insert(p.end(), s.begin(), s.end());
        if (s.size() % 2) p.push_back(0);
        if (!ext) for (int v : {y, x}) Put16(p, static_cast<uint16_t>(v));
        for (int v : dx) Put16(p, static_cast<uint16_t>(v));
        return Raw(ext ? wExtTextOut : wTextOut, p);
    }
    // Rectangle-like records store bottom, right, top, left.
    WmfBuilder& Box(uint16_t function, int l, int t, int r, int b) { return Rec(function, {b, r, t, l}); }

    std::vector<uint8_t> Bytes(uint16_t objects = 8, bool eof = true) const {
        std::vector<uint8_t> out;
        if (FPlaceable) {
            Put32(out, 0x9AC6CDD7);
            Put16(out, 0);
            for (int16_t v : {FLeft, FTop, FRight, FBottom}) Put16(out, static_cast<uint16_t>(v));
            Put16(out, FInch);
            Put32(out, 0);
            uint16_t sum = 0;
            for (size_t i = 0; i < 20; i += 2) sum ^= static_cast<uint16_t>(out[i] | (out[i + 1] << 8));
            Put16(out, sum);
        }
        const size_t words = 9 + FRecords.size() / 2 + (eof ? 3 : 0);
        Put16(out, 1);
        Put16(out, 9);
        Put16(out, 0x0300);
        Put32(out, static_cast<uint32_t>(words));
        Put16(out, objects);
        Put32(out, 0);
        Put16(out, 0);
        out.insert(out.end(), FRecords.begin(), FRecords.end());
        if (eof) {
            Put32(out, 3);
            Put16(out, 0);
        }
        return out;
    }

private:
    bool FPlaceable;
    int16_t FLeft, FTop, FRight, FBottom;
    uint16_t FInch;
    std::vector<uint8_t> FRecords;
};

// EMF record types used by the tests.
enum : uint32_t {
    ePolyBezier = 2, ePolygon = 3, ePolyline = 4, ePolyPolygon = 8, eSetWindowExt = 9, eSetWindowOrg = 10,
    eSetViewportExt = 11, eSetViewportOrg = 12, eEof = 14, eSetMapMode = 17, eSetBkMode = 18, eSetPolyFillMode = 19,
    eMoveTo = 27, eIntersectClipRect = 30, eSaveDC = 33, eRestoreDC = 34, eSetWorldTransform = 35,
    eModifyWorldTransform = 36, eSelectObject = 37, eCreatePen = 38, eCreateBrush = 39, eDeleteObject = 40,
    eEllipse = 42, eRectangle = 43, eArc = 45, ePie = 47, eLineTo = 54, eBeginPath = 59, eEndPath = 60,
    eCloseFigure = 61, eFillPath = 62, eStrokeAndFillPath = 63, eStrokePath = 64, eSelectClipPath = 67,
    eExtSelectClipRgn = 75, eBitBlt = 76, eSetDIBitsToDevice = 80, eStretchDIBits = 81, ePolygon16 = 86, ePolyline16 = 87,
    eExtCreatePen = 95, eAlphaBlend = 114, eGradientFill = 118, eSetTextAlign = 22, eSetTextColor = 24,
    eSetBkColor = 25, eFrameRgn = 72, eMaskBlt = 78, ePlgBlt = 79, eCreateFont = 82, eExtTextOutA = 83,
    eExtTextOutW = 84, ePolyTextOutW = 97, eSmallTextOut = 108,
};
constexpr uint32_t Stock = 0x80000000u;
constexpr uint32_t StockBlackBrush = Stock | 4, StockNullBrush = Stock | 5, StockNullPen = Stock | 8,
                   StockBlackPen = Stock | 7;

// An EMF whose reference device has 96 pixels per inch. With an empty frame (the default) the
// bounds rectangle is the picture, so one logical unit is one target pixel.
class EmfBuilder {
public:
    EmfBuilder(int32_t width = 100, int32_t height = 100) : FBounds{0, 0, width - 1, height - 1} {}

    EmfBuilder& Frame(int32_t l, int32_t t, int32_t r, int32_t b) {
        FFrame[0] = l, FFrame[1] = t, FFrame[2] = r, FFrame[3] = b;
        return *this;
    }
    EmfBuilder& Bounds(int32_t l, int32_t t, int32_t r, int32_t b) {
        FBounds[0] = l, FBounds[1] = t, FBounds[2] = r, FBounds[3] = b;
        return *this;
    }
    EmfBuilder& Device(int32_t px, int32_t mm) {
        FDevice = px, FMm = mm;
        return *this;
    }
    EmfBuilder& Rec(uint32_t type, std::initializer_list<uint32_t> fields) {
        std::vector<uint8_t> p;
        for (uint32_t v : fields) Put32(p, v);
        return Raw(type, p);
    }
    EmfBuilder& Raw(uint32_t type, std::vector<uint8_t> params) {
        while (params.size() % 4) params.push_back(0);
        Put32(FRecords, type);
        Put32(FRecords, static_cast<uint32_t>(8 + params.size()));
        FRecords.insert(FRecords.end(), params.begin(), params.end());
        ++FCount;
        return *this;
    }
    // A record whose size field says `size`, whatever follows.
    EmfBuilder& Sized(uint32_t type, uint32_t size, std::initializer_list<uint32_t> fields) {
        Put32(FRecords, type);
        Put32(FRecords, size);
        for (uint32_t v : fields) Put32(FRecords, v);
        ++FCount;
        return *this;
    }
    // Bounds (ignored by the player) then the points.
    EmfBuilder& Poly(uint32_t type, std::initializer_list<std::pair<int, int>> pts) {
        std::vector<uint32_t> f{0, 0, 0, 0, static_cast<uint32_t>(pts.size())};
        std::vector<uint8_t> p;
        for (uint32_t v : f) Put32(p, v);
        for (auto [x, y] : pts) {
            if (type == ePolygon16 || type == ePolyline16) {
                Put16(p, static_cast<uint16_t>(x));
                Put16(p, static_cast<uint16_t>(y));
            } else {
                Put32(p, static_cast<uint32_t>(x));
                Put32(p, static_cast<uint32_t>(y));
            }
        }
        return Raw(type, p);
    }
    EmfBuilder& Pen(uint32_t index, uint32_t style, int32_t width, TColor color) {
        return Rec(eCreatePen, {index, style, static_cast<uint32_t>(width), 0, color});
    }
    EmfBuilder& Brush(uint32_t index, uint32_t style, TColor color, uint32_t hatch = 0) {
        return Rec(eCreateBrush, {index, style, color, hatch});
    }
    EmfBuilder& Select(uint32_t index) { return Rec(eSelectObject, {index}); }
    // A font object: a LOGFONTW of height, width, escapement, orientation, weight, the
    // italic, underline, strike-out and character set bytes, four more, and the face.
    EmfBuilder& Font(uint32_t index, int32_t height, const std::string& face, int32_t escapement = 0,
                     uint8_t underline = 0, uint8_t strikeOut = 0) {
        std::vector<uint8_t> p;
        for (uint32_t v : {index, uint32_t(height), 0u, uint32_t(escapement), uint32_t(escapement), 400u}) Put32(p, v);
        for (uint8_t v : {uint8_t(0), underline, strikeOut, uint8_t(1), uint8_t(0), uint8_t(0), uint8_t(0), uint8_t(0)})
            p.push_back(v);
        for (size_t i = 0; i < 32; ++i) Put16(p, i < face.size() ? static_cast<uint8_t>(face[i]) : 0);
        return Raw(eCreateFont, p);
    }
    // EXTTEXTOUTA or W (or POLYTEXTOUTW of one string) at (x, y) with options, a rectangle and
    // advances (none when empty).
    EmfBuilder& Text(uint32_t type, int x, int y, const std::string& s, uint32_t options = 0,
                     std::vector<int32_t> rect = {0, 0, -1, -1}, std::vector<int32_t> dx = {}) {
        const bool wide = type != eExtTextOutA;
        const size_t head = type == ePolyTextOutW ? 80 : 76;  // record offsets count its 8-byte head
        const size_t chars = (s.size() * (wide ? 2 : 1) + 3) / 4 * 4;
        std::vector<uint8_t> p;
        for (uint32_t v : {0u, 0u, 0u, 0u, 1u, 0u, 0u}) Put32(p, v);
        if (type == ePolyTextOutW) Put32(p, 1);
        for (uint32_t v : {uint32_t(x), uint32_t(y), uint32_t(s.size()), uint32_t(head), options}) Put32(p, v);
        for (int32_t v : rect) Put32(p, static_cast<uint32_t>(v));
        Put32(p, dx.empty() ? 0 : static_cast<uint32_t>(head + chars));
        for (char c : s) {
            p.push_back(static_cast<uint8_t>(c));
            if (wide) p.push_back(0);
        }
        while (p.size() % 4) p.push_back(0);
        for (int32_t v : dx) Put32(p, static_cast<uint32_t>(v));
        return Raw(type, p);
    }
    EmfBuilder& Box(uint32_t type, int l, int t, int r, int b) {
        return Rec(type, {uint32_t(l), uint32_t(t), uint32_t(r), uint32_t(b)});
    }

    std::vector<uint8_t> Bytes(bool eof = true, uint16_t handles = 16) const {
        std::vector<uint8_t> out;
        Put32(out, 1);
        Put32(out, 88);
        for (int32_t v : FBounds) Put32(out, static_cast<uint32_t>(v));
        for (int32_t v : FFrame) Put32(out, static_cast<uint32_t>(v));
        Put32(out, 0x464D4520);
        Put32(out, 0x10000);
        Put32(out, 0);  // total bytes, below
        Put32(out, FCount + 1 + (eof ? 1 : 0));
        Put16(out, handles);
        Put16(out, 0);
        Put32(out, 0), Put32(out, 0), Put32(out, 0);
        Put32(out, static_cast<uint32_t>(FDevice)), Put32(out, static_cast<uint32_t>(FDevice));
        Put32(out, static_cast<uint32_t>(FMm)), Put32(out, static_cast<uint32_t>(FMm));
        out.insert(out.end(), FRecords.begin(), FRecords.end());
        if (eof) {
            Put32(out, eEof);
            Put32(out, 20);
            Put32(out, 0), Put32(out, 16), Put32(out, 20);
        }
        Set32(out, 48, static_cast<uint32_t>(out.size()));
        return out;
    }

private:
    int32_t FBounds[4];
    int32_t FFrame[4] = {0, 0, 0, 0};
    int32_t FDevice = 960, FMm = 254;
    std::vector<uint8_t> FRecords;
    uint32_t FCount = 0;
};

inline TMetafile Load(const std::vector<uint8_t>& bytes) {
    TMetafile m;
    TReadOnlyMemoryStream s(bytes.data(), bytes.size());
    m.LoadFromStream(s);
    return m;
}

// The message of a failed load; empty when the file loads.
inline std::string LoadError(const std::vector<uint8_t>& bytes) {
    try {
        Load(bytes);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// Draws onto a white 24-bit bitmap of the picture's size.
inline TBitmap Render(const std::vector<uint8_t>& bytes) {
    TMetafile m = Load(bytes);
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(m.Width(), m.Height());
    b.Fill(0xFFFFFF);
    m.Draw(b, 0, 0);
    return b;
}

inline TColor At(const TBitmap& b, int x, int y) {
    TRGBQuad q = b.GetPixel(x, y);
    return RGBColor(q.Red, q.Green, q.Blue);
}

inline int Count(const TBitmap& b, TColor c) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) n += At(b, x, y) == c;
    return n;
}

// A bottom-up 24-bit bitmap header and bits, for the bitmap records.
inline std::vector<uint8_t> DibInfo(int32_t w, int32_t h, uint16_t bits = 24, uint32_t colors = 0) {
    std::vector<uint8_t> b;
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(w));
    Put32(b, static_cast<uint32_t>(h));
    Put16(b, 1);
    Put16(b, bits);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0), Put32(b, 0);
    Put32(b, colors);
    Put32(b, 0);
    return b;
}

constexpr TColor Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, Black = 0, White = 0xFFFFFF;

}  // namespace mftest
