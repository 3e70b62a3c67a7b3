#include "texture_access.h"

#include "exceptions.h"

namespace {
[[noreturn]] void NoTextureSupport() { throw EInvalidGraphic("Textures cannot be read by this build"); }
}  // namespace

bool IsTexturePath(const std::string& path) {
    size_t dot = path.find_last_of('.');
    size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot)) return false;
    return path.compare(dot, std::string::npos, ".vtf") == 0;
}

std::unique_ptr<TBitmap> TextureThumbnailSource(const std::string&) { NoTextureSupport(); }
std::unique_ptr<TBitmap> TextureViewerImage(const std::string&, TTextureDetails&) { NoTextureSupport(); }
std::unique_ptr<TBitmap> TextureLevelImage(const std::string&, int32_t) { NoTextureSupport(); }
TTextureDetails ReadTextureDetails(const std::string&) { NoTextureSupport(); }
