#include "ini_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include "exceptions.h"
#include "streams.h"
#include "strutils.h"

namespace {


std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The section name of a "[name]" line, trimmed; nullopt for any other line.
std::optional<std::string> SectionOf(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool EnclosedInQuotes(const std::string& v) {
    return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
}

bool IsComment(const std::string& trimmed) { return trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#'; }

// Splits a "key=value" line; false for lines without "=" and for comments.
bool SplitKeyValue(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (IsComment(t)) return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

// Index range [begin, end) of the body of the first section of that name; begin is npos when
// the section is absent.
struct SectionSpan {
    size_t Header = std::string::npos;
    size_t Begin = std::string::npos;
    size_t End = 0;
};

SectionSpan FindSection(const std::vector<std::string>& lines, const std::string& section) {
    SectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionOf(lines[i]);
        if (!name) continue;
        if (span.Begin != std::string::npos) {
            span.End = i;
            return span;
        }
        if (SameTextAscii(*name, section)) {
            span.Header = i;
            span.Begin = i + 1;
        }
    }
    if (span.Begin != std::string::npos) span.End = lines.size();
    return span;
}

std::optional<std::string> Lookup(const std::vector<std::string>& lines, const std::string& section,
                                  const std::string& key) {
    SectionSpan span = FindSection(lines, section);
    if (span.Begin == std::string::npos) return std::nullopt;
    std::string k, v;
    for (size_t i = span.Begin; i < span.End; ++i)
        if (SplitKeyValue(lines[i], k, v) && SameTextAscii(k, key)) {
            // One pair of enclosing quotes, double or single, is taken off, as the profile
            // functions do; the writer adds double ones.
            if (EnclosedInQuotes(v)) v = v.substr(1, v.size() - 2);
            return v;
        }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> TIniFile::ReadLines(int* unreadable) const {
    std::vector<std::string> lines;
    if (unreadable) *unreadable = 0;
    struct stat st {};
    const bool exists = ::stat(FFileName.c_str(), &st) == 0;
    if (exists && st.st_size > MaxFileBytes) {
        if (unreadable) *unreadable = EFBIG;
        return lines;
    }
    errno = 0;
    std::ifstream in(FFileName, std::ios::binary);
    if (!in) {
        if (exists && unreadable) *unreadable = errno != 0 ? errno : EACCES;
        return lines;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    return Lookup(ReadLines(), section, key).value_or(def);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
    auto value = Lookup(ReadLines(), section, key);
    if (!value) return def;
    std::string s = *value;
    // "0x1F" is read like "$1F", as the platform's reader does.
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = "$" + s.substr(2);
    return StrToIntDef(s, def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return Lookup(ReadLines(), section, key).has_value();
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    // A file that is there but cannot be read would lose its other lines if replaced, and a
    // line break would end the value and start lines of its own: both are refused.
    int unreadable = 0;
    std::vector<std::string> lines = ReadLines(&unreadable);
    if (unreadable == 0 && value.find_first_of("\r\n") != std::string::npos) unreadable = EINVAL;
    if (unreadable != 0) throw EFCreateError(Format(SFCreateError, FFileName, std::strerror(unreadable)));
    // Blanks at either end would be trimmed away on reading, and enclosing quotes taken off:
    // such values are written inside quotes of their own.
    const bool quoted = !value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                                           std::isspace(static_cast<unsigned char>(value.back())) ||
                                           EnclosedInQuotes(value));
    const std::string entry = key + "=" + (quoted ? "\"" + value + "\"" : value);
    SectionSpan span = FindSection(lines, section);
    if (span.Begin == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else {
        std::string k, v;
        size_t lastKey = span.Header;
        bool replaced = false;
        for (size_t i = span.Begin; i < span.End; ++i) {
            if (!SplitKeyValue(lines[i], k, v)) continue;
            lastKey = i;
            if (SameTextAscii(k, key)) {
                lines[i] = entry;
                replaced = true;
                break;
            }
        }
        // A new key goes after the section's last key, ahead of any blank lines that
        // separate it from the next section.
        if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastKey + 1), entry);
    }
    WriteLines(lines);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteLines(const std::vector<std::string>& lines) const {
    std::string text;
    for (const auto& l : lines) text += l + "\n";

    ReplaceFileContent(FFileName, text.data(), text.size());
}
