#include "texbridge.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pixel_formats.h"
#include "vtf_layout.h"

using namespace texbridge;

namespace {

// Largest image buffer handed out, the same bound the program puts on a bitmap's pixels; a level
// beyond it yields no image rather than an allocation the program would refuse anyway.
#ifdef PICTOLAN_MAX_BITMAP_BYTES
constexpr uint64_t kMaxImageBytes = PICTOLAN_MAX_BITMAP_BYTES;
#else
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 30;
#endif

// Stored data is read and decoded in pieces of about this size, whole rows or block rows each.
constexpr uint64_t kChunkBytes = uint64_t{1} << 20;

struct TCurrentTexture {
    std::ifstream File;
    TVtfLayout Layout;

    bool ReadAt(uint64_t offset, void* dst, size_t count) {
        File.clear();
        File.seekg(static_cast<std::streamoff>(offset));
        if (!File) return false;
        File.read(static_cast<char*>(dst), static_cast<std::streamsize>(count));
        return File.gcount() == static_cast<std::streamsize>(count);
    }
};

// The one current texture of the library.
std::unique_ptr<TCurrentTexture> gCurrent;

// Callers double every backslash before handing a path over; undo that.
std::string UnescapeBackslashes(const char* path) {
    std::string out;
    for (const char* p = path; *p; ++p) {
        out += *p;
        if (p[0] == '\\' && p[1] == '\\') ++p;
    }
    return out;
}

bool OpenTexture(const char* escapedPath) {
    const std::filesystem::path path(UnescapeBackslashes(escapedPath));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) return false;
    auto texture = std::make_unique<TCurrentTexture>();
    texture->File.open(path, std::ios::binary);
    if (!texture->File) return false;
    auto readAt = [&texture](uint64_t offset, void* dst, size_t count) { return texture->ReadAt(offset, dst, count); };
    auto layout = ReadVtfLayout(readAt, fileSize);
    if (!layout) return false;
    texture->Layout = *layout;
    gCurrent = std::move(texture);
    return true;
}

struct TFreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using TImageBuffer = std::unique_ptr<uint8_t, TFreeDeleter>;

// Frame 0, face 0, slice 0 of a level, decoded; empty when it is too large or cannot be read
// (the file may have changed since it was opened).
TImageBuffer DecodeLevel(TCurrentTexture& texture, uint32_t level) {
    const TVtfLayout& l = texture.Layout;
    const uint32_t width = LevelSize(l.Width, level), height = LevelSize(l.Height, level);
    const uint32_t channels = FormatInfo(l.Format).Channels;
    const uint64_t outBytes = uint64_t{width} * height * channels;
    if (outBytes > kMaxImageBytes) return nullptr;
    TImageBuffer out(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(outBytes))));
    if (!out) return nullptr;

    const size_t stride = size_t{width} * channels;
    const uint64_t unitBytes = UnitBytes(l.Format, width);
    const uint32_t unitRows = static_cast<uint32_t>(UnitRows(l.Format));
    const uint32_t units = (height + unitRows - 1) / unitRows;
    const uint32_t chunkUnits = static_cast<uint32_t>(std::clamp<uint64_t>(kChunkBytes / unitBytes, 1, units));
    // Within the stored image, which the layout has checked against the file's size.
    std::vector<uint8_t> chunk(static_cast<size_t>(unitBytes * chunkUnits));

    uint64_t offset = LevelImageOffset(l, level);
    for (uint32_t u = 0; u < units;) {
        const uint32_t n = std::min(chunkUnits, units - u);
        if (!texture.ReadAt(offset, chunk.data(), static_cast<size_t>(unitBytes * n))) return nullptr;
        offset += unitBytes * n;
        for (uint32_t i = 0; i < n; ++i, ++u) {
            const uint32_t row = u * unitRows;
            const int rows = static_cast<int>(std::min(unitRows, height - row));
            DecodeUnit(l.Format, chunk.data() + i * unitBytes, width, rows, out.get() + row * stride, stride);
        }
    }
    return out;
}

}  // namespace

extern "C" {

int32_t TextureOpen(const char* path) {
    gCurrent.reset();
    if (!path) return 0;
    try {
        return OpenTexture(path) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t TextureGetImage(int32_t* width, int32_t* height, int32_t* bytesPerPixel, uint8_t** buffer, int32_t level) {
    if (!width || !height || !bytesPerPixel || !buffer) return 0;
    *width = *height = *bytesPerPixel = 0;
    *buffer = nullptr;
    if (!gCurrent) return 0;
    const TVtfLayout& l = gCurrent->Layout;
    const uint32_t clamped = static_cast<uint32_t>(std::clamp<int64_t>(level, 0, int64_t{l.Mips} - 1));
    try {
        TImageBuffer image = DecodeLevel(*gCurrent, clamped);
        if (!image) return 0;
        *width = static_cast<int32_t>(LevelSize(l.Width, clamped));
        *height = static_cast<int32_t>(LevelSize(l.Height, clamped));
        *bytesPerPixel = FormatInfo(l.Format).Channels;
        *buffer = image.release();
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t TextureGetInfo(int32_t* width, int32_t* height, int32_t* frames, int32_t* flags, int32_t* mips,
                       int32_t* faces) {
    auto put = [](int32_t* field, uint32_t value) {
        if (field) *field = static_cast<int32_t>(gCurrent ? value : 0);
    };
    const TVtfLayout l = gCurrent ? gCurrent->Layout : TVtfLayout{};
    put(width, l.Width);
    put(height, l.Height);
    put(frames, l.Frames);
    put(flags, l.Flags);
    put(mips, l.Mips);
    put(faces, l.Faces);
    return gCurrent ? 1 : 0;
}

int32_t TextureFreeBuffer(uint8_t** buffer) {
    if (!buffer) return 0;
    std::free(*buffer);
    *buffer = nullptr;
    return 1;
}

int32_t TextureClose(void) {
    const bool wasOpen = gCurrent != nullptr;
    gCurrent.reset();
    return wasOpen ? 1 : 0;
}

}  // extern "C"
