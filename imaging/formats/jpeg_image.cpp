// JPEG through libjpeg. libjpeg reports fatal errors through a callback that must not return;
// ours jumps back with longjmp into the function that called the library. Those functions hold
// only plain C data across setjmp, never a C++ object with a destructor, and C++ exceptions are
// raised only after they have returned and the library's objects are destroyed.
#include "jpeg_image.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "dib_reader.h"
#include "exceptions.h"
#include "streams.h"

const TGraphicClass TJPEGImage::Class = {"TJPEGImage", [] { return std::unique_ptr<TGraphic>(new TJPEGImage); }};

namespace {

// Each scan of a progressive file makes the decoder pass over the whole image, so a file of
// thousands of tiny scans would take minutes; real files have about a dozen.
constexpr int MaxScans = 1000;

struct TJpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
    bool EndMarkerAdded;
};

extern "C" void JpegErrorExit(j_common_ptr cinfo) {
    TJpegError* err = reinterpret_cast<TJpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->Message);
    std::longjmp(err->Jump, 1);
}

// Warnings stay silent, except where the data ends before the image does: the library would
// fill the rest with grey and report success. Scan data that runs into the end marker we added
// to a file without one means the file is cut short.
extern "C" void JpegEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    const int code = cinfo->err->msg_code;
    if (code != JWRN_JPEG_EOF && code != JWRN_HIT_MARKER) return;
    if (reinterpret_cast<TJpegError*>(cinfo->err)->EndMarkerAdded) cinfo->err->msg_code = JWRN_JPEG_EOF;
    (*cinfo->err->error_exit)(cinfo);
}

extern "C" void JpegProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= MaxScans) return;
    TJpegError* err = reinterpret_cast<TJpegError*>(cinfo->err);
    std::snprintf(err->Message, sizeof err->Message, SJpegTooManyScans, MaxScans);
    std::longjmp(err->Jump, 1);
}

// Sets up the error manager; EndMarkerAdded is the caller's to set.
void InitError(TJpegError& err) {
    jpeg_std_error(&err.Manager);
    err.Manager.error_exit = JpegErrorExit;
    err.Manager.emit_message = JpegEmitMessage;
    err.Message[0] = '\0';
}

struct TJpegHeader {
    int Width = 0;
    int Height = 0;
    // The output size at each scale n/8 (index n, 1 to 8), and the scale chosen for decoding.
    int ScaledWidth[9] = {};
    int ScaledHeight[9] = {};
    int ScaleNum = 8;
};

bool ReadJpegHeader(const uint8_t* data, size_t size, TJpegHeader* header, TJpegError* err) {
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    InitError(*err);
    cinfo.err = &err->Manager;
    if (setjmp(err->Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    header->Width = static_cast<int>(cinfo.image_width);
    header->Height = static_cast<int>(cinfo.image_height);
    // Asked of the library rather than worked out here, so that the decode's size check agrees
    // with its own rounding.
    cinfo.scale_denom = 8;
    for (int n = 1; n <= 8; ++n) {
        cinfo.scale_num = static_cast<unsigned>(n);
        jpeg_calc_output_dimensions(&cinfo);
        header->ScaledWidth[n] = static_cast<int>(cinfo.output_width);
        header->ScaledHeight[n] = static_cast<int>(cinfo.output_height);
    }
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// Decodes at the header's chosen scale into rows of blue, green, red at pixels (stride bytes
// apart), which hold the scaled size; row holds one decoded line of up to four components for
// the grey and CMYK images, which need a conversion of their own.
bool DecodeJpeg(const uint8_t* data, size_t size, const TJpegHeader* header, uint8_t* pixels, size_t stride,
                uint8_t* row, TJpegError* err) {
    jpeg_decompress_struct cinfo;
    jpeg_progress_mgr progress;
    std::memset(&cinfo, 0, sizeof cinfo);
    std::memset(&progress, 0, sizeof progress);
    progress.progress_monitor = JpegProgress;
    InitError(*err);
    cinfo.err = &err->Manager;
    if (setjmp(err->Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = static_cast<long>(MaxBitmapBytes);
    cinfo.progress = &progress;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    // Adobe's applications store CMYK inverted and say so with their marker.
    const bool inverted = cmyk && cinfo.saw_Adobe_marker;
    // Colour images come out of the library in the bitmap's own byte order, straight into its rows.
    cinfo.out_color_space = cmyk ? JCS_CMYK : cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
    cinfo.scale_num = static_cast<unsigned>(header->ScaleNum);
    cinfo.scale_denom = 8;
    jpeg_start_decompress(&cinfo);
    const int scale = header->ScaleNum;
    if (cinfo.output_width != static_cast<JDIMENSION>(header->ScaledWidth[scale]) ||
        cinfo.output_height != static_cast<JDIMENSION>(header->ScaledHeight[scale]) || cinfo.output_components > 4) {
        std::snprintf(err->Message, sizeof err->Message, "%s", SJpegBadSize);
        std::longjmp(err->Jump, 1);
    }
    if (cinfo.out_color_space == JCS_EXT_BGR) {
        JSAMPROW rows[16];
        while (cinfo.output_scanline < cinfo.output_height) {
            const JDIMENSION first = cinfo.output_scanline;
            JDIMENSION count = cinfo.output_height - first;
            if (count > 16) count = 16;
            for (JDIMENSION i = 0; i < count; ++i) rows[i] = pixels + stride * (first + i);
            jpeg_read_scanlines(&cinfo, rows, count);
        }
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* out = pixels + stride * cinfo.output_scanline;
        JSAMPROW line = row;
        jpeg_read_scanlines(&cinfo, &line, 1);
        for (JDIMENSION x = 0; x < cinfo.output_width; ++x, out += 3) {
            if (cinfo.out_color_space == JCS_GRAYSCALE) {
                out[0] = out[1] = out[2] = row[x];
            } else {
                unsigned c = row[4 * x], m = row[4 * x + 1], y = row[4 * x + 2], k = row[4 * x + 3];
                if (!inverted) {
                    c = 255 - c;
                    m = 255 - m;
                    y = 255 - y;
                    k = 255 - k;
                }
                // With the inks inverted, each colour is what the ink leaves of the light.
                out[0] = static_cast<uint8_t>((y * k + 127) / 255);
                out[1] = static_cast<uint8_t>((m * k + 127) / 255);
                out[2] = static_cast<uint8_t>((c * k + 127) / 255);
            }
        }
    }
    // A progressive file that ends without its end marker may have lost whole scans, and the
    // decoder takes the end marker we added for the end of a finished image. Every
    // coefficient of a finished image has been refined to its last bit.
    if (err->EndMarkerAdded && cinfo.progressive_mode && cinfo.coef_bits != nullptr) {
        for (int c = 0; c < cinfo.num_components; ++c)
            for (int k = 0; k < DCTSIZE2; ++k)
                if (cinfo.coef_bits[c][k] != 0) {
                    cinfo.err->msg_code = JWRN_JPEG_EOF;
                    (*cinfo.err->error_exit)(reinterpret_cast<j_common_ptr>(&cinfo));
                }
    }
    // Not jpeg_finish_decompress: a file that lacks only its end marker is complete.
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// The compressed bytes go into a vector the caller owns, so that an error part-way leaves
// nothing to free by hand (the library's own memory destination hands its buffer back only
// when compression ends).
struct TJpegOutput {
    jpeg_destination_mgr Manager;
    std::vector<uint8_t> Bytes;
};

extern "C" void JpegInitDestination(j_compress_ptr cinfo) {
    auto* out = reinterpret_cast<TJpegOutput*>(cinfo->dest);
    out->Bytes.resize(64 * 1024);
    out->Manager.next_output_byte = out->Bytes.data();
    out->Manager.free_in_buffer = out->Bytes.size();
}

extern "C" boolean JpegEmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* out = reinterpret_cast<TJpegOutput*>(cinfo->dest);
    const size_t used = out->Bytes.size();  // the library empties only a full buffer
    bool grown = true;
    try {
        out->Bytes.resize(used * 2);
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    if (!grown) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    out->Manager.next_output_byte = out->Bytes.data() + used;
    out->Manager.free_in_buffer = out->Bytes.size() - used;
    return TRUE;
}

extern "C" void JpegTermDestination(j_compress_ptr cinfo) {
    auto* out = reinterpret_cast<TJpegOutput*>(cinfo->dest);
    out->Bytes.resize(out->Bytes.size() - out->Manager.free_in_buffer);
}

bool EncodeJpeg(const TBitmap* bitmap, int quality, bool progressive, bool grayscale, uint8_t* row,
                TJpegOutput* output, TJpegError* err) {
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    InitError(*err);
    cinfo.err = &err->Manager;
    if (setjmp(err->Jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    output->Manager.init_destination = JpegInitDestination;
    output->Manager.empty_output_buffer = JpegEmptyOutputBuffer;
    output->Manager.term_destination = JpegTermDestination;
    cinfo.dest = &output->Manager;
    cinfo.image_width = static_cast<JDIMENSION>(bitmap->Width());
    cinfo.image_height = static_cast<JDIMENSION>(bitmap->Height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (grayscale) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const bool bgr = bitmap->PixelFormat() == pf24bit;
    while (cinfo.next_scanline < cinfo.image_height) {
        const int32_t y = static_cast<int32_t>(cinfo.next_scanline);
        const uint8_t* in = bgr ? bitmap->ScanLine(y) : nullptr;
        for (int32_t x = 0; x < bitmap->Width(); ++x) {
            uint8_t* out = row + 3 * static_cast<size_t>(x);
            if (bgr) {
                out[0] = in[3 * x + 2];
                out[1] = in[3 * x + 1];
                out[2] = in[3 * x];
            } else {
                const TRGBQuad c = bitmap->GetPixel(x, y);
                out[0] = c.Red;
                out[1] = c.Green;
                out[2] = c.Blue;
            }
        }
        JSAMPROW line = row;
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

// Decodes straight into the bitmap to spare a copy of large images: an error found in the
// header leaves the image as it was, one found in the data leaves it empty.
void TJPEGImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data(static_cast<size_t>(stream.Remaining()));
    stream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
    // Without its end marker the decoder would read past the data and take the file for cut
    // short even when it is complete.
    TJpegError err;
    err.EndMarkerAdded = data.size() < 2 || data[data.size() - 2] != 0xFF || data.back() != 0xD9;
    if (err.EndMarkerAdded) {
        data.push_back(0xFF);
        data.push_back(0xD9);
    }
    TJpegHeader header;
    if (!ReadJpegHeader(data.data(), data.size(), &header, &err)) throw EInvalidGraphic(err.Message);

    CheckBitmapBound(header.Width, header.Height, pf24bit);
    if (MinimumSize) {
        const auto [minWidth, minHeight] = MinimumSize(header.Width, header.Height);
        header.ScaleNum = 1;
        while (header.ScaleNum < 8 && (header.ScaledWidth[header.ScaleNum] < minWidth ||
                                       header.ScaledHeight[header.ScaleNum] < minHeight))
            ++header.ScaleNum;
    }
    const int width = header.ScaledWidth[header.ScaleNum], height = header.ScaledHeight[header.ScaleNum];
    FBitmap.ReleaseImage();
    FBitmap.SetPixelFormat(pf24bit);
    FBitmap.SetSize(width, height);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
    if (!DecodeJpeg(data.data(), data.size(), &header, FBitmap.ScanLine(0), FBitmap.RowStride(), row.data(), &err)) {
        FBitmap.ReleaseImage();
        throw EInvalidGraphic(err.Message);
    }
    FFullWidth = header.Width;
    FFullHeight = header.Height;
}

void TJPEGImage::SaveToStream(TStream& stream) {
    std::vector<uint8_t> row(static_cast<size_t>(FBitmap.Width()) * 3);
    TJpegError err;
    err.EndMarkerAdded = false;
    TJpegOutput output{};
    if (!EncodeJpeg(&FBitmap, CompressionQuality, ProgressiveEncoding, Grayscale, row.data(), &output, &err))
        throw EInvalidGraphic(err.Message);
    stream.WriteBuffer(output.Bytes.data(), static_cast<int64_t>(output.Bytes.size()));
}

void TJPEGImage::Assign(const TGraphic& source) {
    FBitmap.Assign(source);
    FFullWidth = FBitmap.Width();
    FFullHeight = FBitmap.Height();
}
