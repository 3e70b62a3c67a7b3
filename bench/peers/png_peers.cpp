// PNG: our reader against libpng, libspng and stb_image on the same files.
//
// Every side decodes from memory into a freshly allocated image: libpng is asked for the
// layout our bitmap holds (blue-green-red, 16-bit samples stripped to 8, grey alpha dropped,
// the file's gamma applied for a display of 2.2); libspng decodes to 8-bit RGB or RGBA and
// stb_image to the file's own channels, which cost the same. The files: a photo-like RGB
// picture the benchmark writes, the large PNG files of ../shared/corpus/synthetic/large, and
// the PNG test suite's valid files (public/png) timed as one batch against libpng.
#include <png.h>
#include <spng.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "formats/png_graphic.h"
#include "peers.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

struct TMemoryReader {
    const Bytes* File;
    size_t Position;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
    auto* reader = static_cast<TMemoryReader*>(png_get_io_ptr(png));
    if (count > reader->File->size() - reader->Position) png_error(png, "read past the end");
    std::memcpy(out, reader->File->data() + reader->Position, count);
    reader->Position += count;
}

// libpng's low-level API, transformations matching what our bitmap holds. Only plain data
// lives across its setjmp.
size_t DecodeLibpng(const Bytes& file) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    TMemoryReader reader{&file, 0};
    // Set after setjmp and freed by its handler, so kept in memory the jump cannot lose.
    uint8_t* volatile image = nullptr;
    png_bytep* volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        std::free(image);
        std::free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng failed");
    }
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    const int colorType = png_get_color_type(png, info);
    png_set_strip_16(png);
    if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_strip_alpha(png);
    if (colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
    double fileGamma = 0;
    if (png_get_gAMA(png, info, &fileGamma)) png_set_gamma(png, 2.2, fileGamma);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const size_t stride = (png_get_rowbytes(png, info) + 3) & ~size_t{3};
    image = static_cast<uint8_t*>(std::calloc(stride * height, 1));
    rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image + stride * y;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(image);
    std::free(rows);
    return stride * height;
}

size_t DecodeSpng(const Bytes& file) {
    spng_ctx* ctx = spng_ctx_new(0);
    struct Closer {
        spng_ctx* Ctx;
        ~Closer() { spng_ctx_free(Ctx); }
    } closer{ctx};
    spng_ihdr ihdr{};
    if (spng_set_png_buffer(ctx, file.data(), file.size()) != 0 || spng_get_ihdr(ctx, &ihdr) != 0)
        throw std::runtime_error("libspng failed");
    const bool alpha = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
    const int format = alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    size_t size = 0;
    if (spng_decoded_image_size(ctx, format, &size) != 0) throw std::runtime_error("libspng failed");
    Buffer image = ZeroedBuffer(size);
    if (spng_decode_image(ctx, image.get(), size, format, SPNG_DECODE_TRNS) != 0) throw std::runtime_error("libspng failed");
    return size;
}

// The test suite's valid files (the x* files are deliberately corrupt), decoded in turn.
std::vector<Bytes> SuiteFiles;

template <size_t (*Decode)(const Bytes&)>
size_t DecodeSuite(const Bytes&) {
    size_t total = 0;
    for (const Bytes& f : SuiteFiles) total += Decode(f);
    return total;
}

void AppendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

const Registration registration([] {
    const std::vector<Peer> all = {{"libpng", DecodeLibpng}, {"libspng", DecodeSpng}, {"stb_image", DecodeStbImage}};
    Compare("png", "photo_rgb8_2048x2048", std::make_shared<Bytes>(WritePng(PhotoLike(2048, 2048, 1))),
            DecodeOurs<TPNGGraphic>, all);

    const fs::path corpus = CorpusDir();
    if (corpus.empty()) {
        std::fprintf(stderr, "test corpus not found at ../shared/corpus; only the written PNG file is timed\n");
        return;
    }
    std::vector<fs::path> large;
    for (const auto& e : fs::directory_iterator(corpus / "synthetic" / "large"))
        if (e.path().extension() == ".png" && e.path().filename().string().find(".ref.") == std::string::npos)
            large.push_back(e.path());
    std::sort(large.begin(), large.end());
    for (const fs::path& p : large)
        Compare("png", p.stem().string(), std::make_shared<Bytes>(ReadBytes(p)), DecodeOurs<TPNGGraphic>, all);

    std::vector<fs::path> suite;
    for (const auto& e : fs::directory_iterator(corpus / "public" / "png")) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".png" && name.find(".ref.") == std::string::npos && name[0] != 'x')
            suite.push_back(e.path());
    }
    std::sort(suite.begin(), suite.end());
    auto total = std::make_shared<Bytes>();
    for (const fs::path& p : suite) {
        SuiteFiles.push_back(ReadBytes(p));
        total->insert(total->end(), SuiteFiles.back().begin(), SuiteFiles.back().end());
    }
    Compare("png", "suite", total, DecodeSuite<DecodeOurs<TPNGGraphic>>, {{"libpng", DecodeSuite<DecodeLibpng>}});
});

}  // namespace

// RGB, 8 bits, libpng's default compression and filters.
Bytes WritePng(const Picture& picture) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng could not write");
    }
    png_set_write_fn(png, &out, AppendToVector, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.Width), static_cast<png_uint_32>(picture.Height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.Height; ++y)
        png_write_row(png, picture.Rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(picture.Width) * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace peers
