// A small INI-file reader and writer with the semantics of the platform's profile functions:
// sections and keys match case-insensitively, values are trimmed, a missing file or key gives
// the default, and a write keeps every other line of the file.
//
// The file is read afresh for every call, so the object never holds stale content. A write
// goes to a temporary file in the same folder that is then renamed over the old one: a crash,
// a full disk or a read-only folder leaves the previous file exactly as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TIniFile {
public:
    explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

    // A settings file is a few lines; anything larger than this is not read, and not replaced.
    static constexpr int64_t MaxFileBytes = 1 << 20;

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // The value as a decimal (or "$"-hex) integer; def when absent or not a number.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    // ReadInteger with the default's integer value, non-zero meaning true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    // True when the key is present in the section, also with an empty value.
    bool ValueExists(const std::string& section, const std::string& key) const;

    // Raises EFCreateError "Cannot create file \"%s\". %s" when the file cannot be replaced,
    // cannot be read (its other lines would be lost) or the value holds a line break; the old
    // file is then left untouched. Values with blanks at either end are stored in quotes.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

private:
    // The file's lines. A file beyond MaxFileBytes, or one that is there but cannot be read,
    // reads as empty and sets unreadable to the reason (an errno value; 0 otherwise).
    std::vector<std::string> ReadLines(int* unreadable = nullptr) const;
    void WriteLines(const std::vector<std::string>& lines) const;

    std::string FFileName;
};
