// Helpers shared by the tests: where the corpus is, reading reference pictures and comparing
// decoded bitmaps with them, and scratch folders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap.h"

namespace testsupport {

// ../shared/corpus beside the project root, or empty when it is absent.
std::filesystem::path CorpusDir();

// Skips the current test with a message when the corpus is absent.
#define REQUIRE_CORPUS()                                                               \
    do {                                                                               \
        if (::testsupport::CorpusDir().empty())                                        \
            GTEST_SKIP() << "test corpus not found at ../shared/corpus; skipping";     \
    } while (0)

// An RGBA picture, 8 bits per channel, rows top-down.
struct RgbaImage {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Pixels;  // Width * Height * 4
    const uint8_t* At(int x, int y) const { return &Pixels[(static_cast<size_t>(y) * Width + x) * 4]; }
};

// Reads a PNG file as RGBA; throws std::runtime_error on failure.
RgbaImage ReadPng(const std::filesystem::path& path);

// The bitmap's pixels as RGBA (indexed formats through the palette; alpha 255 unless 32-bit).
RgbaImage ToRgba(const TBitmap& bitmap);

struct Comparison {
    bool SameSize = false;
    int MaxDifference = 0;      // largest channel difference
    int64_t DifferentPixels = 0;
    std::string Describe() const;
    bool Exact() const { return SameSize && MaxDifference == 0; }
};

// Compares red, green and blue, and alpha when compareAlpha is set.
Comparison Compare(const RgbaImage& reference, const RgbaImage& actual, bool compareAlpha);

// One row of a corpus EXPECT.tsv / REFS.tsv style table: column name to value.
using TsvRow = std::vector<std::pair<std::string, std::string>>;
std::vector<TsvRow> ReadTsv(const std::filesystem::path& path);
std::string Field(const TsvRow& row, const std::string& name);

// A fresh empty folder under the system's temporary folder, removed when the object dies.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::string& name) const { return FPath / name; }

private:
    std::filesystem::path FPath;
};

// Writes bytes to a file, creating it.
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);

}  // namespace testsupport
