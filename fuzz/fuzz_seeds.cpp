// Writes the seed corpora of the fuzz targets from the test corpus:
//   fuzz_seeds CORPUS_DIR OUT_DIR
// makes OUT_DIR/<target>/ for every target. The graphic classes and the texture library get
// the corpus files of their extensions; the decoders get their streams cut out of corpus
// files (Targa run-length pixel data, PNG image data) or made from corpus bytes (PackBits,
// zlib), each with the leading control bytes its target expects. Files beyond MaxSeedBytes
// are left out (large seeds only slow the mutations down), but for Photo-CD files.
// files (Targa run-length pixel data, PNG image data, fax and ThunderScan strips of TIFF files)
// or made from corpus bytes (PackBits, zlib), each with the leading control bytes its target
// expects. Files beyond MaxSeedBytes are left out: large seeds only slow the mutations down.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uintmax_t MaxSeedBytes = 256 * 1024;

// Target name and the extensions (lower case) whose corpus files seed it as they are.
const std::map<std::string, std::set<std::string>> WholeFileSeeds = {
    {"fuzz_TBitmap", {"bmp", "dib", "rle"}},
    {"fuzz_TIcon", {"ico", "cur"}},
    {"fuzz_TMetafile", {"wmf", "emf"}},
    {"fuzz_TJPEGImage", {"jpg", "jpeg", "jpe", "jfif"}},
    {"fuzz_TTargaGraphic", {"tga", "vst", "vda", "icb", "win"}},
    {"fuzz_TPNGGraphic", {"png"}},
    {"fuzz_TPCXGraphic", {"pcx", "pcc", "scr"}},
    {"fuzz_TPSPGraphic", {"psp", "pspimage"}},
    {"fuzz_TPSDGraphic", {"psd", "pdd"}},
    {"fuzz_TSGIGraphic", {"sgi", "rgb", "rgba", "bw"}},
    {"fuzz_TRLAGraphic", {"rla", "rpf"}},
    {"fuzz_TPPMGraphic", {"ppm", "pgm", "pbm", "pnm"}},
    {"fuzz_TCUTGraphic", {"cut"}},
    {"fuzz_TAutodeskGraphic", {"cel", "pic"}},
    {"fuzz_TPCDGraphic", {"pcd"}},
    {"fuzz_TTIFFGraphic", {"tif", "tiff", "fax"}},
    {"fuzz_TEPSGraphic", {"eps"}},
    {"fuzz_texture", {"vtf"}},
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Photo-CD image packs hold their Base image from 192 KB to 768 KB: cut down, they would
// never reach it, so they are seeded whole.
bool SeededWhole(const fs::path& path) { return Lower(path.extension().string()) == ".pcd"; }

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteSeed(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
}

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The concatenated image data chunks of a PNG file; empty when it is not one.
Bytes PngImageData(const Bytes& file) {
    static const uint8_t Signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes out;
    if (file.size() < 8 || !std::equal(Signature, Signature + 8, file.begin())) return out;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = BigEndian32(&file[at]);
        if (length > file.size() - at - 12) break;
        if (std::equal(file.begin() + at + 4, file.begin() + at + 8, "IDAT"))
            out.insert(out.end(), file.begin() + at + 8, file.begin() + at + 8 + length);
        at += 12 + length;
    }
    return out;
}

// The pixel data of a run-length Targa file with its depth selector and row width in front,
// as fuzz_targa_rle reads them; empty for other files.
Bytes TargaRunLengthData(const Bytes& file) {
    if (file.size() <= 18) return {};
    const uint8_t type = file[2];
    if (type < 9 || type > 11) return {};
    static const std::map<int, uint8_t> DepthSelector = {{8, 0}, {15, 1}, {16, 2}, {24, 3}, {32, 4}};
    const auto depth = DepthSelector.find(file[16]);
    if (depth == DepthSelector.end()) return {};
    const size_t mapBytes = file[1] ? size_t(file[5] | file[6] << 8) * ((file[7] + 7) / 8) : 0;
    const size_t start = 18 + file[0] + mapBytes;
    if (start >= file.size()) return {};
    Bytes out = {depth->second, file[12], file[13]};
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(start), file.end());
    return out;
}

// The first strip of a TIFF file compressed with a fax or ThunderScan scheme, with the control
// bytes fuzz_fax reads in front (decoder and bit order, row width, target size); empty for
// other files.
Bytes FaxStripSeed(const Bytes& file) {
    if (file.size() < 8 || file[0] != file[1] || (file[0] != 'I' && file[0] != 'M')) return {};
    const bool big = file[0] == 'M';
    auto number = [&](size_t at, size_t bytes) -> uint32_t {
        if (at + bytes > file.size()) return 0;
        uint32_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= uint32_t{file[at + i]} << (8 * (big ? bytes - 1 - i : i));
        return v;
    };
    const size_t directory = number(4, 4);
    uint32_t compression = 1, width = 0, height = 0, rows = 0xFFFFFFFF, fill = 1, offset = 0, count = 0;
    for (uint32_t i = 0, n = number(directory, 2); i < n; ++i) {
        const size_t entry = directory + 2 + 12 * size_t{i};
        const uint32_t type = number(entry + 2, 2), values = number(entry + 4, 4);
        const size_t size = type == 3 ? 2 : 4;
        // The first value, inline or at its offset.
        const uint32_t value = number(size * values > 4 ? number(entry + 8, 4) : entry + 8, size);
        switch (number(entry, 2)) {
            case 256: width = value; break;
            case 257: height = value; break;
            case 259: compression = value; break;
            case 266: fill = value; break;
            case 273: offset = value; break;
            case 278: rows = value; break;
            case 279: count = value; break;
        }
    }
    static const std::map<uint32_t, uint8_t> Kinds = {{2, 0}, {32771, 1}, {3, 2}, {32809, 3}};
    const auto kind = Kinds.find(compression);
    if (kind == Kinds.end() || width == 0 || width > 0x4000 || offset >= file.size()) return {};
    const size_t rowBytes = kind->second == 3 ? (width + 1) / 2 : (width + 7) / 8;
    const size_t target = std::min<size_t>(std::min(rows, height) * rowBytes, 0xFFFF);
    Bytes out = {uint8_t(kind->second | (fill == 2 ? 4 : 0)), uint8_t(width - 1), uint8_t((width - 1) >> 8),
                 uint8_t(target), uint8_t(target >> 8)};
    const size_t end = std::min<size_t>(file.size(), size_t{offset} + count);
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
               file.begin() + static_cast<std::ptrdiff_t>(end));
    return out;
}

// PackBits coding of the bytes, with the decoded size in front as fuzz_packbits reads it.
Bytes PackBitsSeed(const Bytes& raw) {
    const size_t n = std::min<size_t>(raw.size(), 0xFFFF);
    Bytes out = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && run < 128 && raw[i + run] == raw[i]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
            out.push_back(raw[i]);
            i += run;
            continue;
        }
        size_t lit = 0;
        while (i + lit < n && lit < 128 && !(i + lit + 2 < n && raw[i + lit] == raw[i + lit + 1] &&
                                             raw[i + lit] == raw[i + lit + 2]))
            ++lit;
        lit = std::max<size_t>(lit, 1);
        out.push_back(static_cast<uint8_t>(lit - 1));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(i),
                   raw.begin() + static_cast<std::ptrdiff_t>(i + lit));
        i += lit;
    }
    return out;
}

Bytes Compressed(const Bytes& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level) != Z_OK) return {};
    out.resize(size);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR OUT_DIR\n");
        return 2;
    }
    const fs::path corpus = argv[1], out = argv[2];
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus))
        if (e.is_regular_file() && (e.file_size() <= MaxSeedBytes || SeededWhole(e.path())))
            files.push_back(e.path());
    std::sort(files.begin(), files.end());

    std::map<std::string, int> counts;
    int packBitsSources = 0, zlibSources = 0;
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        if (name.ends_with(".ref.png") || name.ends_with(".tsv") || name.ends_with(".md")) continue;
        std::string ext = path.extension().string();
        ext = Lower(ext.empty() ? ext : ext.substr(1));
        const std::string seedName = Lower(path.parent_path().filename().string()) + "_" + name;
        Bytes bytes;
        auto content = [&]() -> const Bytes& {
            if (bytes.empty()) bytes = ReadAll(path);
            return bytes;
        };
        for (const auto& [target, extensions] : WholeFileSeeds)
            if (extensions.count(ext)) {
                WriteSeed(out / target, seedName, content());
                ++counts[target];
            }
        if (ext == "png") {
            const Bytes idat = PngImageData(content());
            if (!idat.empty()) {
                // Partial flush without reset, as image data chunks are read, in two piece sizes.
                for (uint8_t mode : {uint8_t(0x00 | 3 << 2 | 2 << 5), uint8_t(0x01 | 7 << 2 | 7 << 5)}) {
                    Bytes seed = {mode};
                    seed.insert(seed.end(), idat.begin(), idat.end());
                    WriteSeed(out / "fuzz_lz77", seedName + "." + std::to_string(mode), seed);
                    ++counts["fuzz_lz77"];
                }
            }
        }
        if (ext == "tga" || ext == "icb" || ext == "vda" || ext == "vst" || ext == "win") {
            const Bytes rle = TargaRunLengthData(content());
            if (!rle.empty()) {
                WriteSeed(out / "fuzz_targa_rle", seedName, rle);
                ++counts["fuzz_targa_rle"];
            }
        }
        if (ext == "tif" || ext == "tiff" || ext == "fax") {
            const Bytes strip = FaxStripSeed(content());
            if (!strip.empty()) {
                WriteSeed(out / "fuzz_fax", seedName, strip);
                ++counts["fuzz_fax"];
            }
        }
        // A spread of other formats' bytes, coded by us.
        if (ext != "png" && content().size() <= 16384 && packBitsSources < 40) {
            WriteSeed(out / "fuzz_packbits", seedName, PackBitsSeed(content()));
            ++counts["fuzz_packbits"];
            ++packBitsSources;
        }
        if ((ext == "bmp" || ext == "psd" || ext == "tif") && content().size() <= 65536 && zlibSources < 20) {
            Bytes seed = {uint8_t(0x02 | 1 << 2 | 1 << 5)};  // partial flush, a new stream each call
            const Bytes z = Compressed(content(), zlibSources % 10);
            seed.insert(seed.end(), z.begin(), z.end());
            WriteSeed(out / "fuzz_lz77", seedName + ".z", seed);
            ++counts["fuzz_lz77"];
            ++zlibSources;
        }
    }
    for (const auto& [target, n] : counts) std::printf("%s: %d seeds\n", target.c_str(), n);
    return 0;
}
