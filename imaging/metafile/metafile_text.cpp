#include "metafile_text.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <map>
#include <mutex>

namespace {

constexpr double Pi = 3.14159265358979323846;

// ---- characters ----

// Windows Latin 0x80..0x9F; the rest of the code page is Latin-1.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t FromCp1252(uint8_t b) { return b >= 0x80 && b < 0xA0 ? Cp1252High[b - 0x80] : b; }

// The Symbol face's codes 0x20..0xFF in Unicode; 0 where the code has no character.
constexpr char16_t SymbolToUnicode[224] = {
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B,
    0x002C, 0x2212, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, 0x2245, 0x0391, 0x0392, 0x03A7,
    0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F,
    0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, 0x005B,
    0x2234, 0x005D, 0x22A5, 0x005F, 0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3,
    0x03B7, 0x03B9, 0x03D5, 0x03BA, 0x03BB, 0x03BC, 0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1, 0x03C3,
    0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, 0x007B, 0x007C, 0x007D, 0x223C, 0,
    0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,
    0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,
    0,      0,      0,      0,      0,      0,      0,      0,      0x20AC, 0x03D2, 0x2032, 0x2264,
    0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194, 0x2190, 0x2191, 0x2192, 0x2193,
    0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248,
    0x2026, 0x23D0, 0x23AF, 0x21B5, 0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229,
    0x222A, 0x2283, 0x2287, 0x2284, 0x2282, 0x2286, 0x2208, 0x2209, 0x2220, 0x2207, 0x00AE, 0x00A9,
    0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3,
    0x25CA, 0x2329, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3,
    0x23A7, 0x23A8, 0x23A9, 0x23AA, 0,      0x232A, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F,
    0x23A0, 0x23A4, 0x23A5, 0x23A6, 0x23AB, 0x23AC, 0x23AD, 0,
};

// The Wingdings codes whose pictures Unicode holds; the others have no stand-in.
constexpr std::pair<uint8_t, char32_t> WingdingsToUnicode[] = {
    {0x21, 0x270F}, {0x22, 0x2702}, {0x23, 0x2701}, {0x28, 0x260E}, {0x29, 0x2706}, {0x2A, 0x2709},
    {0x36, 0x231B}, {0x37, 0x2328}, {0x3E, 0x2707}, {0x3F, 0x270D}, {0x41, 0x270C}, {0x45, 0x261C},
    {0x46, 0x261E}, {0x47, 0x261D}, {0x48, 0x261F}, {0x4A, 0x263A}, {0x4C, 0x2639}, {0x4E, 0x2620},
    {0x4F, 0x2690}, {0x51, 0x2708}, {0x52, 0x263C}, {0x54, 0x2744}, {0x56, 0x271E}, {0x58, 0x2720},
    {0x59, 0x2721}, {0x5A, 0x262A}, {0x5B, 0x262F}, {0x5D, 0x2638}, {0x5E, 0x2648}, {0x5F, 0x2649},
    {0x60, 0x264A}, {0x61, 0x264B}, {0x62, 0x264C}, {0x63, 0x264D}, {0x64, 0x264E}, {0x65, 0x264F},
    {0x66, 0x2650}, {0x67, 0x2651}, {0x68, 0x2652}, {0x69, 0x2653}, {0x6C, 0x25CF}, {0x6D, 0x274D},
    {0x6E, 0x25A0}, {0x6F, 0x25A1}, {0x71, 0x2751}, {0x72, 0x2752}, {0x75, 0x25C6}, {0x76, 0x2756},
    {0x78, 0x2327}, {0x7A, 0x2318}, {0x7B, 0x2740}, {0x7C, 0x273F}, {0x7D, 0x275D}, {0x7E, 0x275E},
    {0x80, 0x24EA}, {0x81, 0x2460}, {0x82, 0x2461}, {0x83, 0x2462}, {0x84, 0x2463}, {0x85, 0x2464},
    {0x86, 0x2465}, {0x87, 0x2466}, {0x88, 0x2467}, {0x89, 0x2468}, {0x8A, 0x2469}, {0x8B, 0x24FF},
    {0x8C, 0x2776}, {0x8D, 0x2777}, {0x8E, 0x2778}, {0x8F, 0x2779}, {0x90, 0x277A}, {0x91, 0x277B},
    {0x92, 0x277C}, {0x93, 0x277D}, {0x94, 0x277E}, {0x95, 0x277F}, {0xA1, 0x25CB}, {0xA4, 0x25C9},
    {0xA5, 0x25CE}, {0xA7, 0x25AA}, {0xA8, 0x25FB}, {0xAA, 0x2726}, {0xAB, 0x2605}, {0xAC, 0x2736},
    {0xAD, 0x2734}, {0xAE, 0x2739}, {0xAF, 0x2735}, {0xB1, 0x2316}, {0xB5, 0x272A}, {0xB6, 0x2730},
    {0xD5, 0x232B}, {0xD6, 0x2326}, {0xE8, 0x2794}, {0xEF, 0x21E6}, {0xF0, 0x21E8}, {0xF1, 0x21E7},
    {0xF2, 0x21E9}, {0xFB, 0x2718}, {0xFC, 0x2714}, {0xFD, 0x2612}, {0xFE, 0x2611},
};

// How the characters of a stand-in face are found: as they are, through the table of the
// symbol face it stands in for, or (a symbol face without a table) in the private area, where
// the stand-in has nothing and shows its sign for a missing character rather than a letter.
enum class TSymbols { None, Symbol, Wingdings, Private };

char32_t MapSymbol(TSymbols map, char32_t c) {
    // Symbol faces take their codes either as bytes or in the private area at U+F000.
    const char32_t code = c >= 0xF020 && c <= 0xF0FF ? c - 0xF000 : c;
    if (code < 0x20 || code > 0xFF) return c;
    if (map == TSymbols::Private) return 0xF000 + code;
    if (map == TSymbols::Symbol) return SymbolToUnicode[code - 0x20] ? SymbolToUnicode[code - 0x20] : c;
    for (const auto& [from, to] : WingdingsToUnicode)
        if (from == code) return to;
    return c;
}

// The code page iconv reads for a font's character set; null for Windows Latin.
const char* CodePage(uint8_t charSet) {
    switch (charSet) {
        case 128: return "CP932";
        case 129: return "CP949";
        case 130: return "JOHAB";
        case 134: return "CP936";
        case 136: return "CP950";
        case 161: return "CP1253";
        case 162: return "CP1254";
        case 163: return "CP1258";
        case 177: return "CP1255";
        case 178: return "CP1256";
        case 186: return "CP1257";
        case 204: return "CP1251";
        case 222: return "CP874";
        case 238: return "CP1250";
        case 255: return "CP437";
        default: return nullptr;
    }
}

constexpr uint8_t SymbolCharSet = 2;

void AppendUtf8(std::string& s, char32_t c) {
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// ---- faces ----

// The usual Windows faces and the installed families drawn in their place: metric-compatible
// ones where they exist, and the symbol faces through their tables.
struct TFaceRule {
    const char* Name;
    const char* Family;
    TSymbols Symbols = TSymbols::None;
};
constexpr TFaceRule FaceRules[] = {
    {"arial", "Liberation Sans"},
    {"helvetica", "Liberation Sans"},
    {"arial narrow", "Liberation Sans Narrow"},
    {"times new roman", "Liberation Serif"},
    {"times", "Liberation Serif"},
    {"tms rmn", "Liberation Serif"},
    {"courier new", "Liberation Mono"},
    {"courier", "Liberation Mono"},
    {"calibri", "Carlito"},
    {"cambria", "Caladea"},
    {"symbol", "DejaVu Sans", TSymbols::Symbol},
    {"wingdings", "DejaVu Sans", TSymbols::Wingdings},
};
constexpr const char* DefaultFamily = "DejaVu Sans";

// A face name without case, surrounding blanks, or the suffix that names a character set.
std::string NormalizedFace(const std::string& face) {
    std::string n = Lower(face);
    const size_t first = n.find_first_not_of(' '), last = n.find_last_not_of(' ');
    n = first == std::string::npos ? std::string() : n.substr(first, last - first + 1);
    for (const char* suffix : {" cyr", " ce", " greek", " tur", " baltic"}) {
        const size_t len = std::char_traits<char>::length(suffix);
        if (n.size() > len && n.compare(n.size() - len, len, suffix) == 0) n.resize(n.size() - len);
    }
    return n;
}

const TFaceRule* RuleFor(const std::string& normalized) {
    for (const TFaceRule& r : FaceRules)
        if (normalized == r.Name) return &r;
    return nullptr;
}

// ---- the system's fonts ----

class TSystemFontSource final : public TMetaFontSource {
public:
    std::shared_ptr<const TFontFile> Find(const std::string& family, bool bold, bool italic) override {
        std::lock_guard<std::mutex> lock(FMutex);
        const std::string key = Lower(family) + (bold ? "|b" : "|") + (italic ? "i" : "");
        if (auto it = FFound.find(key); it != FFound.end()) return it->second;
        // The caches stay small: an entry costs one lookup to find again.
        if (FFound.size() >= 256) FFound.clear();
        std::shared_ptr<const TFontFile> file = Match(family, bold, italic);
        FFound.emplace(key, file);
        return file;
    }

private:
    static constexpr std::streamoff MaxFontFileBytes = 64 << 20;

    std::shared_ptr<const TFontFile> Match(const std::string& family, bool bold, bool italic) {
        if (!FConfigTried) {
            FConfigTried = true;
            FConfig = FcInitLoadConfigAndFonts();
        }
        if (!FConfig) return nullptr;
        FcPattern* pattern = FcPatternCreate();
        if (!pattern) return nullptr;
        if (!family.empty()) FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
        FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
        FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
        FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
        FcConfigSubstitute(FConfig, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* match = FcFontMatch(FConfig, pattern, &result);
        FcPatternDestroy(pattern);
        if (!match) return nullptr;
        std::shared_ptr<const TFontFile> file;
        // fontconfig offers its nearest face whatever the family: only the family asked for counts.
        FcChar8* name = nullptr;
        bool same = family.empty();
        std::string matched;
        for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &name) == FcResultMatch; ++i) {
            const std::string n = reinterpret_cast<const char*>(name);
            if (i == 0) matched = n;
            if (Lower(n) == Lower(family)) same = true, matched = n;
        }
        FcChar8* path = nullptr;
        int index = 0, weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
        if (same && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
            FcPatternGetInteger(match, FC_INDEX, 0, &index);
            FcPatternGetInteger(match, FC_WEIGHT, 0, &weight);
            FcPatternGetInteger(match, FC_SLANT, 0, &slant);
            file = Load(reinterpret_cast<const char*>(path), index, matched, weight >= FC_WEIGHT_DEMIBOLD,
                        slant != FC_SLANT_ROMAN);
        }
        FcPatternDestroy(match);
        return file;
    }

    std::shared_ptr<const TFontFile> Load(const std::string& path, int index, const std::string& family, bool bold,
                                          bool italic) {
        const std::string key = path + "#" + std::to_string(index);
        if (auto it = FFiles.find(key); it != FFiles.end()) return it->second;
        if (FFiles.size() >= 32) FFiles.clear();
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in) return nullptr;
        const std::streamoff size = in.tellg();
        if (size <= 0 || size > MaxFontFileBytes) return nullptr;
        auto file = std::make_shared<TFontFile>();
        file->Bytes.resize(static_cast<size_t>(size));
        in.seekg(0);
        if (!in.read(reinterpret_cast<char*>(file->Bytes.data()), size)) return nullptr;
        file->Family = family;
        file->Index = index;
        file->Bold = bold;
        file->Italic = italic;
        FFiles.emplace(key, file);
        return file;
    }

    std::mutex FMutex;
    bool FConfigTried = false;
    FcConfig* FConfig = nullptr;
    std::map<std::string, std::shared_ptr<const TFontFile>> FFound;
    std::map<std::string, std::shared_ptr<const TFontFile>> FFiles;
};

// ---- drawing ----

struct TSpanSink {
    TMetaRaster* Raster;
    TColor Color;
    int32_t Left, Top;  // FreeType's origin on the target; its rows count upwards
};

void BlendSpans(int y, int count, const FT_Span* spans, void* user) {
    const TSpanSink& s = *static_cast<const TSpanSink*>(user);
    const int32_t row = s.Top - y - 1;
    for (int i = 0; i < count; ++i)
        s.Raster->BlendSpan(row, s.Left + spans[i].x, spans[i].len, spans[i].coverage, s.Color);
}

FT_Fixed Fixed(double v) { return static_cast<FT_Fixed>(std::lround(v * 65536)); }

TPointF Add(TPointF a, TPointF b, double k = 1) { return {a.X + b.X * k, a.Y + b.Y * k}; }

int32_t Signed(const uint8_t* p, int bytes) {
    if (bytes == 2) return int16_t(p[0] | (p[1] << 8));
    return int32_t(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
}

}  // namespace

TPointF TMetaText::Advance(size_t i) const {
    if (!Advances) return {};
    const uint8_t* p = Advances + i * size_t(AdvanceBytes);
    if (AdvanceBytes == 8) return {double(Signed(p, 4)), double(Signed(p + 4, 4))};
    return {double(Signed(p, AdvanceBytes)), 0};
}

std::string FaceName(const uint8_t* bytes, size_t size, bool wide) {
    std::string name;
    if (!wide) {
        for (size_t i = 0; i < size && bytes[i]; ++i) AppendUtf8(name, FromCp1252(bytes[i]));
        return name;
    }
    for (size_t i = 0; i + 1 < size; i += 2) {
        char32_t c = static_cast<char32_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // no face name needs more than the basic plane
        AppendUtf8(name, c);
    }
    return name;
}

TMetaFontSource& SystemFontSource() {
    // Never destroyed: a drawing may still run on another thread while the program ends, and
    // fontconfig's configuration lives as long as the program anyway.
    static TSystemFontSource* source = new TSystemFontSource;
    return *source;
}

struct TMetaTextRenderer::TImpl {
    // A face loaded for this drawing, with the metrics the layout needs, in font units.
    struct TFace {
        std::shared_ptr<const TFontFile> File;
        FT_Face Face = nullptr;
        bool SymbolCmap = false;  // its characters sit at U+F020..U+F0FF
        double UnitsPerEm = 2048, Ascent = 0, Descent = 0, AvgWidth = 0;
        double UnderlinePos = 0, UnderlineSize = 0, StrikePos = 0, StrikeSize = 0;
        FT_BBox Box{};

        FT_UInt Glyph(char32_t c) const {
            FT_UInt g = FT_Get_Char_Index(Face, c);
            if (g == 0 && SymbolCmap && c <= 0xFF) g = FT_Get_Char_Index(Face, 0xF000 + c);
            return g;
        }
    };
    // What a logical font resolved to.
    struct TResolved {
        TFace* Face = nullptr;
        TFace* Fallback = nullptr;  // for characters the face lacks
        bool Bold = false, Italic = false;  // asked for: faces without the style get it made up
        TSymbols Symbols = TSymbols::None;
        bool Exact = false;  // the face the file names: its glyph indices hold
    };
    struct TGlyph {
        TFace* Face;
        FT_UInt Index;
    };

    explicit TImpl(TMetaFontSource& fonts) : Fonts(fonts) {}
    ~TImpl() {
        for (auto& [file, face] : Faces)
            if (face->Face) FT_Done_Face(face->Face);
        if (Library) FT_Done_FreeType(Library);
        for (auto& [charSet, cd] : Converters)
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }

    TFace* LoadFace(const std::shared_ptr<const TFontFile>& file);
    const TResolved& Resolve(const TMetaFont& font);
    // Characters (or glyph indices) with the advance each carries from the record.
    void Decode(const TMetaFont& font, const TMetaText& text, TSymbols symbols, std::vector<char32_t>& chars,
                std::vector<TPointF>& advances);
    TGlyph GlyphFor(const TResolved& r, char32_t c, bool glyphIndex) const;

    TMetaFontSource& Fonts;
    FT_Library Library = nullptr;
    bool LibraryFailed = false;
    std::map<const TFontFile*, std::unique_ptr<TFace>> Faces;
    std::map<std::string, TResolved> Resolved;
    int Lookups = 0;  // families asked for by name in this drawing
    std::map<uint8_t, iconv_t> Converters;
};

TMetaTextRenderer::TImpl::TFace* TMetaTextRenderer::TImpl::LoadFace(const std::shared_ptr<const TFontFile>& file) {
    if (!file) return nullptr;
    if (auto it = Faces.find(file.get()); it != Faces.end()) return it->second->Face ? it->second.get() : nullptr;
    auto face = std::make_unique<TFace>();
    face->File = file;
    if (!Library && !LibraryFailed && FT_Init_FreeType(&Library) != 0) {
        Library = nullptr;
        LibraryFailed = true;
    }
    FT_Face f = nullptr;
    if (Library && FT_New_Memory_Face(Library, file->Bytes.data(), static_cast<FT_Long>(file->Bytes.size()),
                                      file->Index, &f) == 0) {
        if (!FT_IS_SCALABLE(f) || f->units_per_EM < 16 || (FT_Select_Charmap(f, FT_ENCODING_UNICODE) != 0 &&
                                                            FT_Select_Charmap(f, FT_ENCODING_MS_SYMBOL) != 0)) {
            FT_Done_Face(f);
            f = nullptr;
        }
    }
    face->Face = f;
    if (f) {
        face->SymbolCmap = f->charmap && f->charmap->encoding == FT_ENCODING_MS_SYMBOL;
        face->UnitsPerEm = f->units_per_EM;
        face->Ascent = f->ascender, face->Descent = -f->descender;
        face->AvgWidth = face->UnitsPerEm / 2;
        face->UnderlinePos = f->underline_position, face->UnderlineSize = f->underline_thickness;
        face->StrikePos = face->UnitsPerEm / 4, face->StrikeSize = face->UnitsPerEm / 16;
        // The platform places text by the cell its OS/2 table gives.
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(f, FT_SFNT_OS2));
        if (os2 && os2->version != 0xFFFF) {
            if (os2->usWinAscent + os2->usWinDescent > 0)
                face->Ascent = os2->usWinAscent, face->Descent = os2->usWinDescent;
            if (os2->xAvgCharWidth > 0) face->AvgWidth = os2->xAvgCharWidth;
            if (os2->yStrikeoutSize > 0)
                face->StrikePos = os2->yStrikeoutPosition, face->StrikeSize = os2->yStrikeoutSize;
        }
        if (face->Ascent + face->Descent <= 0)
            face->Ascent = face->UnitsPerEm * 0.8, face->Descent = face->UnitsPerEm * 0.2;
        face->Box = f->bbox;
    }
    TFace* result = face->Face ? face.get() : nullptr;
    Faces.emplace(file.get(), std::move(face));
    return result;
}

const TMetaTextRenderer::TImpl::TResolved& TMetaTextRenderer::TImpl::Resolve(const TMetaFont& font) {
    const std::string name = NormalizedFace(font.Face);
    const bool bold = font.Weight >= 600, italic = font.Italic, symbols = font.CharSet == SymbolCharSet;
    const std::string key = name + (bold ? "|b" : "|") + (italic ? "i" : "") + (symbols ? "s" : "");
    if (auto it = Resolved.find(key); it != Resolved.end()) return it->second;
    if (Resolved.size() >= 256) Resolved.clear();
    TResolved r;
    r.Bold = bold, r.Italic = italic;
    const TFaceRule* rule = RuleFor(name);
    auto take = [&](const std::string& family) {
        if (r.Face) return;
        r.Face = LoadFace(Fonts.Find(family, bold, italic));
    };
    // The face itself when installed: a file of many invented names asks for a few only.
    if (!name.empty() && Lookups < 16) {
        ++Lookups;
        take(font.Face);
        r.Exact = r.Face != nullptr;
    }
    if (rule) {
        take(rule->Family);
        if (r.Face && !r.Exact) r.Symbols = rule->Symbols;
    }
    if (!r.Exact && r.Symbols == TSymbols::None && symbols) r.Symbols = TSymbols::Private;
    take(DefaultFamily);
    take("");
    if (r.Face) {
        TFace* fallback = LoadFace(Fonts.Find(DefaultFamily, bold, italic));
        if (fallback != r.Face) r.Fallback = fallback;
    }
    return Resolved.emplace(key, r).first->second;
}

void TMetaTextRenderer::TImpl::Decode(const TMetaFont& font, const TMetaText& text, TSymbols symbols,
                                      std::vector<char32_t>& chars, std::vector<TPointF>& advances) {
    const size_t n = text.Count;
    // A character made of units [from, to) carries the sum of their advances.
    auto push = [&](char32_t c, size_t from, size_t to) {
        chars.push_back(symbols == TSymbols::None ? c : MapSymbol(symbols, c));
        TPointF a;
        for (size_t i = from; i < to; ++i) a = Add(a, text.Advance(i));
        advances.push_back(a);
    };
    if (text.Options & EtoGlyphIndex) {
        for (size_t i = 0; i < n; ++i) {
            chars.push_back(text.Unit(i));
            advances.push_back(text.Advance(i));
        }
        return;
    }
    if (text.Wide) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t c = text.Unit(i), next = i + 1 < n ? text.Unit(i + 1) : 0;
            if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
                push(0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00), i, i + 2);
                ++i;
            } else {
                push(c >= 0xD800 && c < 0xE000 ? 0xFFFD : c, i, i + 1);
            }
        }
        return;
    }
    const char* page = CodePage(font.CharSet);
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    if (page) {
        auto it = Converters.find(font.CharSet);
        if (it == Converters.end()) it = Converters.emplace(font.CharSet, iconv_open("UTF-32LE", page)).first;
        cd = it->second;
    }
    for (size_t i = 0; i < n;) {
        const uint8_t b = text.Chars[i];
        if (font.CharSet == SymbolCharSet) {
            push(0xF000 + b, i, i + 1);
            ++i;
            continue;
        }
        if (cd == reinterpret_cast<iconv_t>(-1) || b < 0x80) {
            push(FromCp1252(b), i, i + 1);
            ++i;
            continue;
        }
        // One character at a time: a lead byte alone is incomplete, and then two are tried.
        char32_t c = 0xFFFD;
        size_t used = 1;
        for (size_t k = 1; k <= 2 && i + k <= n; ++k) {
            char in[2] = {static_cast<char>(text.Chars[i]), k > 1 ? static_cast<char>(text.Chars[i + 1]) : '\0'};
            unsigned char out[8];
            char* inp = in;
            char* outp = reinterpret_cast<char*>(out);
            size_t inLeft = k, outLeft = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1)) {
                if (sizeof out - outLeft >= 4) {
                    c = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (uint32_t{out[3]} << 24));
                    used = k;
                }
                break;
            }
            if (errno != EINVAL) break;
        }
        push(c, i, i + used);
        i += used;
    }
}

TMetaTextRenderer::TImpl::TGlyph TMetaTextRenderer::TImpl::GlyphFor(const TResolved& r, char32_t c,
                                                                  bool glyphIndex) const {
    if (glyphIndex) return {r.Face, static_cast<FT_UInt>(c)};
    if (FT_UInt g = r.Face->Glyph(c)) return {r.Face, g};
    if (r.Fallback)
        if (FT_UInt g = r.Fallback->Glyph(c)) return {r.Fallback, g};
    // The face's own sign for a missing character.
    return {r.Face, 0};
}

TMetaTextRenderer::TMetaTextRenderer(TMetaFontSource& fonts) : F(std::make_unique<TImpl>(fonts)) {}

TMetaTextRenderer::~TMetaTextRenderer() = default;

TPointF TMetaTextRenderer::Draw(TMetaRaster& raster, const TMetaFont& font, const TMetaText& text,
                                const TTextFrame& frame) {
    // Looking a character up and measuring it costs about what painting a hundred pixels does.
    raster.Charge(static_cast<int64_t>(std::min<size_t>(text.Count, INT64_MAX / 128)) * 64);
    if (raster.Exhausted()) return {};
    const TImpl::TResolved& r = F->Resolve(font);
    std::vector<char32_t> chars;
    std::vector<TPointF> given;
    chars.reserve(text.Count);
    given.reserve(text.Count);
    F->Decode(font, text, r.Symbols, chars, given);
    const bool glyphIndex = (text.Options & EtoGlyphIndex) != 0;
    const bool haveAdvances = text.Advances != nullptr;
    if (!r.Face && !haveAdvances) return {};

    // The em and the cell, in target pixels.
    const TImpl::TFace* face = r.Face;
    const double upm = face ? face->UnitsPerEm : 1;
    double em = frame.DefaultHeight;
    if (font.Height < 0) em = -double(font.Height) * frame.HeightScale;
    else if (font.Height > 0) em = font.Height * frame.HeightScale * (face ? upm / (face->Ascent + face->Descent) : 1);
    if (!std::isfinite(em)) return {};
    em = std::min(em, MaxEm);
    double stretch = 1;  // horizontal over vertical scale of the glyphs
    if (font.Width != 0 && face) {
        stretch = std::abs(double(font.Width)) * frame.AdvanceScale / (face->AvgWidth / upm * em);
        stretch = std::isfinite(stretch) ? std::clamp(stretch, 1.0 / 64, 64.0) : 1;
    }
    const double k = em / upm;  // pixels per font unit
    const double ascent = face ? face->Ascent * k : 0, descent = face ? face->Descent * k : 0;
    const double angle = frame.Angle + font.Escapement / 10.0 * Pi / 180;
    const TPointF along{std::cos(angle), -std::sin(angle)}, down{std::sin(angle), std::cos(angle)};

    // Advances first: alignment needs the whole string's length.
    std::vector<TImpl::TGlyph> glyphs(chars.size(), TImpl::TGlyph{nullptr, 0});
    std::vector<TPointF> steps(chars.size());
    TPointF total;
    for (size_t i = 0; i < chars.size(); ++i) {
        if (face) glyphs[i] = F->GlyphFor(r, chars[i], glyphIndex);
        double a = 0, across = 0;
        if (haveAdvances) {
            a = given[i].X * frame.AdvanceScale;
            across = given[i].Y * frame.HeightScale;
        } else if (chars[i] != 0) {
            FT_Fixed units = 0;
            if (FT_Get_Advance(glyphs[i].Face->Face, glyphs[i].Index, FT_LOAD_NO_SCALE, &units) != 0) units = 0;
            a = double(units) * em / glyphs[i].Face->UnitsPerEm * stretch + frame.CharExtra * frame.AdvanceScale;
        }
        steps[i] = Add(TPointF{along.X * a, along.Y * a}, down, across);
        total = Add(total, steps[i]);
    }
    if (!std::isfinite(total.X) || !std::isfinite(total.Y)) return {};
    const uint32_t horizontal = frame.Align & TaCenter, vertical = frame.Align & TaBaseline;
    TPointF start = frame.Origin;
    if (horizontal == TaRight) start = Add(start, total, -1);
    else if (horizontal == TaCenter) start = Add(start, total, -0.5);
    if (vertical == TaBottom) start = Add(start, down, -descent);
    else if (vertical != TaBaseline) start = Add(start, down, ascent);
    const TPointF moved = horizontal == TaRight    ? TPointF{-total.X, -total.Y}
                          : horizontal == TaCenter ? TPointF{}
                                                   : total;
    if (!face || !std::isfinite(start.X) || !std::isfinite(start.Y)) return moved;

    // A band along the string, from `from` to `to` pixels below the baseline.
    auto band = [&](double from, double to, TColor color) {
        TMetaPaint paint;
        paint.Color = color & 0xFFFFFF;
        const TPointF a = Add(start, down, from), b = Add(start, down, to);
        raster.FillPolygons({{a, Add(a, total), Add(b, total), b}}, false, paint);
    };
    if (frame.Opaque) band(-ascent, descent, frame.BkColor);

    const TRect bounds = raster.Bounds();
    TSpanSink sink{&raster, frame.Color & 0xFFFFFF, bounds.Left, bounds.Top};
    FT_Raster_Params params{};
    params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
    params.gray_spans = BlendSpans;
    params.user = &sink;
    TPointF pen = start;
    for (size_t i = 0; i < chars.size() && !raster.Exhausted(); pen = Add(pen, steps[i]), ++i) {
        if ((chars[i] == 0 && !glyphIndex) || em < 0.5 || (glyphIndex && !r.Exact)) continue;
        const TImpl::TFace& g = *glyphs[i].Face;
        // Styles the face lacks: strokes thickened by a 24th of the em, a slant of about 12 degrees.
        const double gk = em / g.UnitsPerEm, bold = r.Bold && !g.File->Bold ? g.UnitsPerEm / 24 : 0;
        const double slant = r.Italic && !g.File->Italic ? 0.2 : 0;
        // Font units (y up) to target pixels: x' = m[0] x + m[1] y, y' = m[2] x + m[3] y.
        const double m[4] = {gk * stretch * along.X, gk * (stretch * slant * along.X - down.X),
                             gk * stretch * along.Y, gk * (stretch * slant * along.Y - down.Y)};
        // Glyphs wholly outside the picture are not loaded.
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (const double x : {g.Box.xMin - bold, g.Box.xMax + bold})
            for (const double y : {g.Box.yMin - bold, g.Box.yMax + bold}) {
                const double tx = pen.X + m[0] * x + m[1] * y, ty = pen.Y + m[2] * x + m[3] * y;
                lo[0] = std::min(lo[0], tx), hi[0] = std::max(hi[0], tx);
                lo[1] = std::min(lo[1], ty), hi[1] = std::max(hi[1], ty);
            }
        if (!(hi[0] >= bounds.Left && lo[0] <= bounds.Right && hi[1] >= bounds.Top && lo[1] <= bounds.Bottom)) continue;
        if (FT_Load_Glyph(g.Face, glyphs[i].Index, FT_LOAD_NO_SCALE | FT_LOAD_NO_BITMAP) != 0 ||
            g.Face->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
            continue;
        FT_Outline* outline = &g.Face->glyph->outline;
        raster.Charge(16 + outline->n_points);
        if (outline->n_contours <= 0) continue;
        if (bold > 0) FT_Outline_EmboldenXY(outline, std::lround(bold), std::lround(bold));
        // FreeType's 26.6 pixels with y up, from the bounds' top left.
        FT_Matrix matrix{Fixed(64 * m[0]), Fixed(64 * m[1]), Fixed(-64 * m[2]), Fixed(-64 * m[3])};
        FT_Outline_Transform(outline, &matrix);
        FT_Outline_Translate(outline, std::lround((pen.X - bounds.Left) * 64), std::lround((bounds.Top - pen.Y) * 64));
        // FreeType works through its clip box band by band: the glyph's own box keeps that short.
        auto local = [](double v, int32_t lo, int32_t hi) { return std::clamp<double>(v, lo, hi); };
        params.clip_box = {FT_Pos(local(std::floor(lo[0]) - 1 - bounds.Left, 0, bounds.Width())),
                           FT_Pos(local(bounds.Top - std::ceil(hi[1]) - 1, -bounds.Height(), 0)),
                           FT_Pos(local(std::ceil(hi[0]) + 1 - bounds.Left, 0, bounds.Width())),
                           FT_Pos(local(bounds.Top - std::floor(lo[1]) + 1, -bounds.Height(), 0))};
        params.source = outline;
        FT_Outline_Render(F->Library, outline, &params);
    }
    if (font.Underline) {
        const double size = std::max(face->UnderlineSize * k, 1.0), at = -face->UnderlinePos * k;
        band(at - size / 2, at + size / 2, frame.Color);
    }
    if (font.StrikeOut) {
        const double size = std::max(face->StrikeSize * k, 1.0), at = -face->StrikePos * k;
        band(at, at + size, frame.Color);
    }
    return moved;
}
