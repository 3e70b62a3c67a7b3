#include "test_support.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::filesystem::path CorpusDir() {
    std::filesystem::path p = std::filesystem::path(PICTOLAN_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code ec;
    if (!std::filesystem::is_directory(p, ec)) return {};
    return std::filesystem::weakly_canonical(p, ec);
}

RgbaImage ReadPng(const std::filesystem::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read " + path.string() + ": " + image.message);
    image.format = PNG_FORMAT_RGBA;
    RgbaImage out;
    out.Width = static_cast<int>(image.width);
    out.Height = static_cast<int>(image.height);
    out.Pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.Pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        throw std::runtime_error("cannot decode " + path.string() + ": " + image.message);
    }
    return out;
}

RgbaImage ToRgba(const TBitmap& bitmap) {
    RgbaImage out;
    out.Width = bitmap.Width();
    out.Height = bitmap.Height();
    out.Pixels.resize(static_cast<size_t>(out.Width) * out.Height * 4);
    bool keepAlpha = bitmap.PixelFormat() == pf32bit;
    size_t i = 0;
    for (int y = 0; y < out.Height; ++y)
        for (int x = 0; x < out.Width; ++x) {
            TRGBQuad q = bitmap.GetPixel(x, y);
            out.Pixels[i++] = q.Red;
            out.Pixels[i++] = q.Green;
            out.Pixels[i++] = q.Blue;
            out.Pixels[i++] = keepAlpha ? q.Alpha : 255;
        }
    return out;
}

std::string Comparison::Describe() const {
    if (!SameSize) return "sizes differ";
    std::ostringstream s;
    s << DifferentPixels << " pixels differ, largest channel difference " << MaxDifference;
    return s.str();
}

Comparison Compare(const RgbaImage& reference, const RgbaImage& actual, bool compareAlpha) {
    Comparison c;
    c.SameSize = reference.Width == actual.Width && reference.Height == actual.Height;
    if (!c.SameSize) return c;
    size_t n = static_cast<size_t>(reference.Width) * reference.Height;
    int channels = compareAlpha ? 4 : 3;
    for (size_t i = 0; i < n; ++i) {
        bool differs = false;
        for (int ch = 0; ch < channels; ++ch) {
            int d = std::abs(int(reference.Pixels[i * 4 + ch]) - int(actual.Pixels[i * 4 + ch]));
            if (d > c.MaxDifference) c.MaxDifference = d;
            if (d) differs = true;
        }
        if (differs) c.DifferentPixels++;
    }
    return c;
}

std::vector<TsvRow> ReadTsv(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<TsvRow> rows;
    std::string line;
    std::vector<std::string> header;
    auto split = [](const std::string& s) {
        std::vector<std::string> parts;
        std::string cur;
        for (char ch : s) {
            if (ch == '\t') {
                parts.push_back(cur);
                cur.clear();
            } else if (ch != '\r') {
                cur += ch;
            }
        }
        parts.push_back(cur);
        return parts;
    };
    if (!std::getline(in, line)) return rows;
    header = split(line);
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        auto parts = split(line);
        TsvRow row;
        for (size_t i = 0; i < header.size(); ++i) row.emplace_back(header[i], i < parts.size() ? parts[i] : "");
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Field(const TsvRow& row, const std::string& name) {
    for (const auto& [k, v] : row)
        if (k == name) return v;
    return {};
}

ScratchDir::ScratchDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = std::filesystem::temp_directory_path() / ("pictolan-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            FPath = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
