// The program's texture operations, each a complete open ... close sequence on the texture
// library, so the library's one current texture is always released again, also on errors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bitmap.h"

struct TTextureDetails {
    int32_t Width = 0, Height = 0, Frames = 0, Mips = 0, Faces = 0, Flags = 0;
};

// A texture is a file whose extension is exactly ".vtf".
bool IsTexturePath(const std::string& path);

// The level a thumbnail is made from (about 128 pixels on the longer side), as a bitmap.
std::unique_ptr<TBitmap> TextureThumbnailSource(const std::string& path);
// Level 0 and the texture's details, for the viewer.
std::unique_ptr<TBitmap> TextureViewerImage(const std::string& path, TTextureDetails& details);
// One level; the caller keeps it within 0 to Mips - 1.
std::unique_ptr<TBitmap> TextureLevelImage(const std::string& path, int32_t level);
TTextureDetails ReadTextureDetails(const std::string& path);
