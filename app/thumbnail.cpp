#include "thumbnail.h"

#include <cmath>

#include "picture.h"
#include "vtf_helper.h"

void FitThumbnail(const TBitmap& source, TBitmap& target, int32_t boxWidth, int32_t boxHeight) {
    const int64_t w = source.Width(), h = source.Height();
    if (w <= boxWidth && h <= boxHeight) {
        target = source;
        return;
    }
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
    if (newWidth < 1) newWidth = 1;
    if (newHeight < 1) newHeight = 1;
    TBitmap result;
    result.SetPixelFormat(pf24bit);
    result.SetSize(newWidth, newHeight);
    result.SetPalette(source.Palette());
    StretchCopy(source, result);
    target = std::move(result);
}

void MakeThumbnail(TFileEntry& entry, const TThumbnailContext& context) {
    bool failed = false;
    std::string message;
    try {
        TPicture picture;
        if (IsTexturePath(entry.FullPath))
            picture.SetGraphic(LoadTextureForThumbnail(entry.FullPath));
        else
            picture.LoadFromFile(entry.FullPath);
        auto thumbnail = std::make_unique<TBitmap>();
        const TBitmap* source = picture.Bitmap();
        TBitmap drawn;
        if (source == nullptr) {
            // Icons, metafiles and JPEG images are drawn onto a white 24-bit bitmap first.
            drawn.Assign(*picture.Graphic());
            source = &drawn;
        }
        FitThumbnail(*source, *thumbnail, context.BoxWidth, context.BoxHeight);
        entry.Thumbnail = std::move(thumbnail);
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
