// JPEG: our reader against libjpeg-turbo asked for blue-green-red rows straight into a buffer
// laid out as our bitmap (rows padded to 4 bytes, zero-filled when allocated), on a photo-like
// picture the benchmark writes at quality 90 and on the larger corpus photographs.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>

#include "formats/jpeg_image.h"
#include "peers.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

struct TJumpError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

extern "C" void JumpOnError(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<TJumpError*>(cinfo->err)->Jump, 1); }

// Only plain data lives across the setjmp; the buffer is freed after the library is done.
bool DecodeTurboInto(const Bytes* file, uint8_t** image, size_t* bytes) {
    jpeg_decompress_struct cinfo;
    TJumpError err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.Manager);
    err.Manager.error_exit = JumpOnError;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file->data(), static_cast<unsigned long>(file->size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const size_t stride = (static_cast<size_t>(cinfo.output_width) * 3 + 3) & ~size_t{3};
    *bytes = stride * cinfo.output_height;
    *image = static_cast<uint8_t*>(std::calloc(*bytes, 1));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[16];
        JDIMENSION count = std::min<JDIMENSION>(16, cinfo.output_height - cinfo.output_scanline);
        for (JDIMENSION i = 0; i < count; ++i) rows[i] = *image + stride * (cinfo.output_scanline + i);
        jpeg_read_scanlines(&cinfo, rows, count);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

size_t DecodeTurbo(const Bytes& file) {
    uint8_t* image = nullptr;
    size_t bytes = 0;
    const bool ok = DecodeTurboInto(&file, &image, &bytes);
    std::free(image);
    if (!ok) throw std::runtime_error("libjpeg-turbo failed");
    return bytes;
}

const Registration registration([] {
    const std::vector<Peer> turbo = {{"libjpeg-turbo", DecodeTurbo}};
    Compare("jpeg", "photo_q90_2048x2048", std::make_shared<Bytes>(WriteJpeg(PhotoLike(2048, 2048, 1), 90)),
            DecodeOurs<TJPEGImage>, turbo);
    const fs::path corpus = CorpusDir();
    if (corpus.empty()) return;
    for (const char* name : {"cat.jpg", "flower.jpg"}) {
        const fs::path p = corpus / "public" / "jpeg" / name;
        if (fs::exists(p)) Compare("jpeg", p.stem().string(), std::make_shared<Bytes>(ReadBytes(p)), DecodeOurs<TJPEGImage>, turbo);
    }
});

}  // namespace

// Written by our own encoder: baseline, 2 x 2 subsampled colour, as the export writes.
Bytes WriteJpeg(const Picture& picture, int quality) {
    TJPEGImage jpeg;
    jpeg.Assign(ToBitmap(picture));
    jpeg.CompressionQuality = quality;
    TMemoryStream stream;
    jpeg.SaveToStream(stream);
    return stream.Bytes();
}

}  // namespace peers
