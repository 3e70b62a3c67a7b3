// Small string and arithmetic helpers shared across the program.
#pragma once

#include <cstdint>
#include <string>

// a * b / c in 64-bit arithmetic, rounded to nearest with halves away from zero.
// A zero divisor gives -1, like the platform function it stands in for.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

// ASCII-only case helpers: file names and extensions are compared this way everywhere.
std::string AsciiUpper(std::string s);
std::string AsciiLower(std::string s);
int CompareTextAscii(const std::string& a, const std::string& b);  // <0, 0, >0
bool SameTextAscii(const std::string& a, const std::string& b);

// The extension of a file name from the last "." on (the dot included), ASCII letters
// upper-cased; empty when there is no dot after the last path delimiter.
std::string UpperFileExt(const std::string& fileName);
// The extension as written, from the last "." after the last delimiter; empty when none.
std::string ExtractFileExt(const std::string& fileName);

// Every backslash doubled.
std::string EscapeBackslashes(const std::string& path);

// Adds the path delimiter to a non-empty path that does not end with one.
std::string AppendBackslash(const std::string& path);

// Decimal integer conversion that raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& s);
// The same, answering def instead of raising.
int32_t StrToIntDef(const std::string& s, int32_t def);
