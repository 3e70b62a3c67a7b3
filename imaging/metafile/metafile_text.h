// Text for the metafile players. Logical fonts as the font records describe them are found
// among the installed fonts through fontconfig, with metric-compatible stand-ins for the usual
// Windows faces, and strings are drawn through FreeType as anti-aliased glyphs blended into the
// raster, through its clip and against its work budget.
//
// Finding a font is slow, so what a family resolves to, and the font files' bytes, are kept in
// one small cache for the whole program behind a mutex. Everything FreeType holds (library,
// faces) belongs to one drawing: drawings on several threads share nothing but that cache.
// With no font at all, strings draw no glyphs; their opaque rectangles still fill.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "metafile_raster.h"

// A logical font as the font records describe it.
struct TMetaFont {
    // Logical units: below 0 the character height (the em), above 0 the cell height, 0 a default.
    int32_t Height = 0;
    int32_t Width = 0;       // average character width in logical units; 0 keeps the face's proportions
    int32_t Escapement = 0;  // tenths of a degree, counter-clockwise as seen
    int32_t Weight = 0;      // 400 normal, 700 bold; 0 normal
    bool Italic = false, Underline = false, StrikeOut = false;
    uint8_t CharSet = 1;     // how 8-bit strings are encoded
    std::string Face;        // UTF-8
};

// Options of the text records.
constexpr uint32_t EtoOpaque = 0x2, EtoClipped = 0x4, EtoGlyphIndex = 0x10, EtoPdy = 0x2000;
// Text alignment flags: horizontal (Align & 6), vertical (Align & 24), and TaUpdateCp.
constexpr uint32_t TaUpdateCp = 1, TaRight = 2, TaCenter = 6, TaBottom = 8, TaBaseline = 24;

// One string of a text record. The characters and advances stay in the record: nothing
// proportional to a string's length is allocated before its work is charged.
struct TMetaText {
    TPointF Reference;  // logical units
    // Count code units of one byte (8-bit characters) or two (UTF-16, or glyph indices with
    // EtoGlyphIndex), little-endian.
    const uint8_t* Chars = nullptr;
    size_t Count = 0;
    bool Wide = false;
    // Per unit, signed little-endian logical units of AdvanceBytes each: 2 (16-bit), 4
    // (32-bit) or 8 (32-bit pairs with EtoPdy: along the baseline, then across it, positive
    // down). Null: the font's own advances.
    const uint8_t* Advances = nullptr;
    int AdvanceBytes = 0;
    uint32_t Options = 0;
    bool HasRect = false;
    double Rect[4] = {0, 0, 0, 0};  // logical left, top, right, bottom

    uint32_t Unit(size_t i) const { return Wide ? uint32_t(Chars[2 * i] | (Chars[2 * i + 1] << 8)) : Chars[i]; }
    TPointF Advance(size_t i) const;
};

// A face name as the font records store it: 8-bit (read as Windows Latin) or UTF-16, up to
// its terminating zero.
std::string FaceName(const uint8_t* bytes, size_t size, bool wide);

// A font file as installed: its bytes, and the family and style of the face it holds.
struct TFontFile {
    std::string Family;
    std::vector<uint8_t> Bytes;
    int Index = 0;
    bool Bold = false, Italic = false;
};

// Where fonts come from. The system's source asks fontconfig and keeps what it found; tests
// may hand the canvas a source of their own.
class TMetaFontSource {
public:
    virtual ~TMetaFontSource() = default;
    // The installed face of exactly this family (any case) nearest the style, or null. An
    // empty family takes whatever face the system offers first.
    virtual std::shared_ptr<const TFontFile> Find(const std::string& family, bool bold, bool italic) = 0;
};
TMetaFontSource& SystemFontSource();

// Where a string goes: its reference point on the target and how the logical units of its
// font and advances map onto target pixels.
struct TTextFrame {
    TPointF Origin;             // the reference point, target pixels
    double Angle = 0;           // of the logical x axis, radians counter-clockwise as seen
    double HeightScale = 1;     // target pixels per logical unit across the baseline
    double AdvanceScale = 1;    // ... and along it
    double DefaultHeight = 16;  // em in target pixels of a font of height 0
    uint32_t Align = 0;
    double CharExtra = 0;       // logical units added to each advance of the font's own
    TColor Color = 0;
    bool Opaque = false;        // the string's cells fill with BkColor first
    TColor BkColor = 0xFFFFFF;
};

// Draws the strings of one drawing; owns FreeType's library and the faces loaded for it.
class TMetaTextRenderer {
public:
    // No em is drawn larger than this many pixels, whatever the font asks.
    static constexpr double MaxEm = 32768;

    explicit TMetaTextRenderer(TMetaFontSource& fonts);
    ~TMetaTextRenderer();
    TMetaTextRenderer(const TMetaTextRenderer&) = delete;
    TMetaTextRenderer& operator=(const TMetaTextRenderer&) = delete;

    // Draws the string; returns how far it moves the current position, in target pixels.
    TPointF Draw(TMetaRaster& raster, const TMetaFont& font, const TMetaText& text, const TTextFrame& frame);

private:
    struct TImpl;
    std::unique_ptr<TImpl> F;
};
