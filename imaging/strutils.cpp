#include "strutils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "exceptions.h"

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    int64_t num = static_cast<int64_t>(a) * b;
    int64_t q = num / c;
    int64_t r = num % c;
    // Round half away from zero: compare twice the remainder with the divisor.
    if (r != 0) {
        int64_t r2 = r < 0 ? -r : r;
        int64_t c2 = c < 0 ? -static_cast<int64_t>(c) : c;
        if (2 * r2 >= c2) q += ((num < 0) != (c < 0)) ? -1 : 1;
    }
    if (q > INT32_MAX || q < INT32_MIN) return -1;
    return static_cast<int32_t>(q);
}

std::string AsciiUpper(std::string s) {
    for (char& ch : s)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return s;
}

std::string AsciiLower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

int CompareTextAscii(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareTextAscii(a, b) == 0;
}

std::string ExtractFileExt(const std::string& fileName) {
    size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos) return std::string();
    size_t delim = fileName.find_last_of("/\\");
    if (delim != std::string::npos && delim > dot) return std::string();
    return fileName.substr(dot);
}

std::string UpperFileExt(const std::string& fileName) { return AsciiUpper(ExtractFileExt(fileName)); }

std::string EscapeBackslashes(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        out += ch;
        if (ch == '\\') out += '\\';
    }
    return out;
}

std::string AppendBackslash(const std::string& path) {
    if (path.empty() || path.back() == '/') return path;
    return path + '/';
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
    std::string t = s;
    // Surrounding blanks are tolerated, as the settings reader trims values anyway.
    size_t b = t.find_first_not_of(" \t");
    size_t e = t.find_last_not_of(" \t");
    if (b == std::string::npos) return def;
    t = t.substr(b, e - b + 1);
    const char* p = t.c_str();
    char* end = nullptr;
    errno = 0;
    long long v;
    if (t.size() > 1 && t[0] == '$')
        v = std::strtoll(p + 1, &end, 16);
    else
        v = std::strtoll(p, &end, 10);
    if (errno != 0 || end == p || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return def;
    return static_cast<int32_t>(v);
}

int32_t StrToInt(const std::string& s) {
    int32_t a = StrToIntDef(s, 0);
    int32_t b = StrToIntDef(s, 1);
    if (a != b) throw EConvertError(Format(SInvalidInteger, s));
    return a;
}
