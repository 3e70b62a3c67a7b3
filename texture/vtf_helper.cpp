#include "vtf_helper.h"


#include "exceptions.h"
#include "strutils.h"

namespace {

// Holds a buffer from TextureGetImage and hands it back to the library on every way out.
class TTextureBuffer {
public:
    TTextureBuffer() = default;
    ~TTextureBuffer() { TextureFreeBuffer(&Data); }
    TTextureBuffer(const TTextureBuffer&) = delete;
    TTextureBuffer& operator=(const TTextureBuffer&) = delete;

    int32_t Width = 0, Height = 0, BytesPerPixel = 0;
    uint8_t* Data = nullptr;
};

}  // namespace

bool IsTexturePath(const std::string& path) { return ExtractFileExt(path) == ".vtf"; }

std::unique_ptr<TBitmap> TextureMipToBitmap(int32_t level) {
    TTextureBuffer image;
    TextureGetImage(&image.Width, &image.Height, &image.BytesPerPixel, &image.Data, level);
    if (!image.Data || image.Width <= 0 || image.Height <= 0) throw EInvalidGraphic(STextureUnreadable);

    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelFormat(pf24bit);
    bitmap->SetSize(image.Width, image.Height);
    const int32_t bpp = image.BytesPerPixel;
    if (bpp != 3 && bpp != 4) return bitmap;
    const uint8_t* src = image.Data;
    for (int32_t y = 0; y < image.Height; ++y) {
        uint8_t* dst = bitmap->ScanLine(y);
        for (int32_t x = 0; x < image.Width; ++x, src += bpp, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    return bitmap;
}

int32_t ThumbnailMipLevel(const TextureInfo& info) {
    if (info.Mips <= 0) return 0;
    if (info.Width <= 100 && info.Height <= 100) return 0;
    int32_t level = info.Mips - 8;
    if (level >= 0) return level;
    // Step down while the next level would still be wider or taller than 100 pixels.
    level = 0;
    while (level + 1 < info.Mips && level + 1 < 31 &&
           ((info.Width >> (level + 1)) > 100 || (info.Height >> (level + 1)) > 100))
        ++level;
    return level;
}

std::unique_ptr<TBitmap> LoadTextureForThumbnail(const std::string& path) {
    TTextureSession texture(path);
    TextureInfo info;
    ReadTextureInfo(info);
    return TextureMipToBitmap(ThumbnailMipLevel(info));
}

std::unique_ptr<TBitmap> LoadTextureLevel(const std::string& path, int32_t level) {
    TTextureSession texture(path);
    return TextureMipToBitmap(level);
}

TextureInfo ReadTextureFileInfo(const std::string& path) {
    TTextureSession texture(path);
    TextureInfo info;
    ReadTextureInfo(info);
    return info;
}
