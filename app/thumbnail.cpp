#include "thumbnail.h"

#include <algorithm>
#include <cmath>

#include "formats/jpeg_image.h"
#include "picture.h"
#include "strutils.h"
#include "vtf_helper.h"

namespace {

// The extension as the picture container looks it up: without its dot.
std::string ExtensionOf(const std::string& path) {
    std::string ext = ExtractFileExt(path);
    if (!ext.empty()) ext.erase(0, 1);
    return ext;
}

}  // namespace

std::pair<int32_t, int32_t> ThumbnailSize(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight) {
    const int64_t w = width, h = height;
    if (w <= boxWidth && h <= boxHeight) return {width, height};
    // Rounded to nearest with halves to even (50.5 gives 50, 51.5 gives 52). The products are
    // taken in 64 bits so that very wide images do not overflow, and a side never shrinks
    // below one pixel, so an extreme strip still shows.
    int32_t newWidth, newHeight;
    if (w > h) {
        newWidth = boxWidth;
        newHeight = static_cast<int32_t>(std::nearbyint(static_cast<double>(h * boxHeight) / static_cast<double>(w)));
    } else {
        newHeight = boxHeight;
        newWidth = static_cast<int32_t>(std::nearbyint(static_cast<double>(w * boxWidth) / static_cast<double>(h)));
    }
    return {std::max(newWidth, 1), std::max(newHeight, 1)};
}

void FitThumbnailFrom(const TBitmap& source, int32_t fullWidth, int32_t fullHeight, TBitmap& target,
                      int32_t boxWidth, int32_t boxHeight) {
    if (fullWidth <= boxWidth && fullHeight <= boxHeight) {
        target = source;
        return;
    }
    const auto [newWidth, newHeight] = ThumbnailSize(fullWidth, fullHeight, boxWidth, boxHeight);
    TBitmap result;
    result.SetPixelFormat(pf24bit);
    result.SetSize(newWidth, newHeight);
    result.SetPalette(source.Palette());
    StretchCopy(source, result);
    target = std::move(result);
}

void FitThumbnail(const TBitmap& source, TBitmap& target, int32_t boxWidth, int32_t boxHeight) {
    FitThumbnailFrom(source, source.Width(), source.Height(), target, boxWidth, boxHeight);
}

std::unique_ptr<TBitmap> CreateThumbnail(const std::string& fullPath, int32_t boxWidth, int32_t boxHeight) {
    TPicture picture;
    int32_t fullWidth = 0, fullHeight = 0;
    if (IsTexturePath(fullPath)) {
        picture.SetGraphic(LoadTextureForThumbnail(fullPath));
    } else if (TPicture::FindGraphicClass(ExtensionOf(fullPath)) == &TJPEGImage::Class) {
        // Decoded only as large as the thumbnail needs; fitted by the image's own size, so
        // that the thumbnail has the size a full decode gives.
        auto jpeg = std::make_unique<TJPEGImage>();
        jpeg->MinimumSize = [&](int32_t w, int32_t h) { return ThumbnailSize(w, h, boxWidth, boxHeight); };
        jpeg->LoadFromFile(fullPath);
        fullWidth = jpeg->FullWidth();
        fullHeight = jpeg->FullHeight();
        picture.SetGraphic(std::move(jpeg));
    } else {
        picture.LoadFromFile(fullPath);
    }
    const TBitmap* source = picture.Bitmap();
    TBitmap drawn;
    if (source == nullptr) {
        // Icons, metafiles and JPEG images are drawn onto a white 24-bit bitmap first.
        drawn.Assign(*picture.Graphic());
        source = &drawn;
    }
    if (fullWidth == 0) {
        fullWidth = source->Width();
        fullHeight = source->Height();
    }
    auto thumbnail = std::make_unique<TBitmap>();
    FitThumbnailFrom(*source, fullWidth, fullHeight, *thumbnail, boxWidth, boxHeight);
    return thumbnail;
}

void MakeThumbnail(TFileEntry& entry, const TThumbnailContext& context) {
    bool failed = false;
    std::string message;
    try {
        entry.Thumbnail = CreateThumbnail(entry.FullPath, context.BoxWidth, context.BoxHeight);
        entry.Loaded = true;
        entry.LoadError.clear();
        if (context.LoadedCount) ++*context.LoadedCount;
    } catch (const std::exception& e) {
        failed = true;
        message = e.what();
    } catch (...) {
        failed = true;
        message = "Unknown error";
    }
    if (failed) entry.LoadError = message;
    if (failed && context.OnFailure) context.OnFailure(message);
    if (failed && context.ProcessMessages) context.ProcessMessages();
}
