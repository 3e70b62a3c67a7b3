// Texture levels as bitmaps, and the texture steps of thumbnail creation, the viewer and the
// info page built on them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bitmap.h"
#include "host_texbridge.h"

// Raised when the library hands back no image for a level.
inline constexpr const char* STextureUnreadable = "The texture is damaged or of an unsupported format.";

// A path names a texture when its extension is exactly ".vtf" (case-sensitive: no registered
// format claims the upper-case form, so "T.VTF" is not a texture either).
bool IsTexturePath(const std::string& path);

// The current texture's level as a 24-bit bitmap; the caller owns it. Levels outside the
// texture's range are clamped by the library. Raises EInvalidGraphic with STextureUnreadable
// when there is no image (no current texture, or a level that cannot be read).
std::unique_ptr<TBitmap> TextureMipToBitmap(int32_t level);

// The level a thumbnail is made from: Mips - 8 when the texture is wider or taller than 100
// pixels (the level whose longer side is 128 in a full chain), else 0. A chain too short for
// that rule gives its smallest level that is still wider or taller than 100 pixels, so that
// the thumbnail still fills its box from as few pixels as possible. Always within 0 to
// Mips - 1 (0 for a texture without levels).
int32_t ThumbnailMipLevel(const TextureInfo& info);

// Open, info, the thumbnail level as a bitmap, close: the texture branch of thumbnail creation.
std::unique_ptr<TBitmap> LoadTextureForThumbnail(const std::string& path);
// Open, one level as a bitmap, close.
std::unique_ptr<TBitmap> LoadTextureLevel(const std::string& path, int32_t level);
// Open, info, close; all zero when the file is not a texture the library can read.
TextureInfo ReadTextureFileInfo(const std::string& path);
