#include "sweep_support.h"

#include <algorithm>
#include <random>
#include <set>

#include "picture.h"
#include "strutils.h"
#include "test_support.h"
#include "vtf_helper.h"

namespace fs = std::filesystem;

namespace sweep {

const std::vector<std::string>& CorpusFormats() {
    static const std::vector<std::string> formats = {"bmp", "cel", "cut", "emf", "eps", "ico", "jpeg",
                                                     "large", "pcd", "pcx", "png", "pnm", "psd", "psp",
                                                     "rla", "sgi", "tga", "tiff", "vtf", "wmf"};
    return formats;
}

std::vector<fs::path> ReadableFiles(const std::string& format) {
    std::vector<fs::path> files;
    const fs::path corpus = testsupport::CorpusDir();
    if (corpus.empty()) return files;
    for (const char* side : {"public", "synthetic"}) {
        const fs::path dir = corpus / side / format;
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".ref.png")) continue;
            std::string ext = ExtractFileExt(name);
            if (ext.empty()) continue;
            if (IsTexturePath(name) || TPicture::FindGraphicClass(ext.substr(1)) != nullptr)
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<DamagedCopy> DamagedCopies(const std::vector<uint8_t>& file, uint32_t seed, bool light) {
    std::vector<DamagedCopy> copies;
    const size_t n = file.size();
    std::set<size_t> lengths =
        light ? std::set<size_t>{1, 16, n / 2, n - 1}
              : std::set<size_t>{0, 1, 2, 4, 8, 14, 18, 26, 40, 64, 100, 128, n / 4, n / 2, 3 * n / 4, n - 4, n - 1};
    for (size_t length : lengths)
        if (length < n)
            copies.push_back({"cut at " + std::to_string(length),
                              std::vector<uint8_t>(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length))});
    if (n == 0) return copies;

    std::mt19937 rng(seed);
    const int flips = light ? 2 : 8;
    for (int k = 0; k < flips; ++k) {
        std::vector<uint8_t> bytes = file;
        // Even copies change the headers, odd ones anywhere; both a few bytes at most.
        const size_t span = (k % 2 == 0) ? std::min<size_t>(n, 128) : n;
        const int count = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < count; ++i) {
            const size_t at = rng() % span;
            switch (rng() % 3) {
                case 0: bytes[at] = static_cast<uint8_t>(rng()); break;
                case 1: bytes[at] = 0xFF; break;
                default: bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
            }
        }
        copies.push_back({"bytes changed (" + std::to_string(k) + ")", std::move(bytes)});
    }
    return copies;
}

uint32_t SeedOf(const fs::path& path) {
    uint32_t h = 2166136261u;
    for (unsigned char c : path.filename().string()) h = (h ^ c) * 16777619u;
    return h;
}

}  // namespace sweep
