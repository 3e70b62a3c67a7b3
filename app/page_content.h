// What the Viewer and Info pages show, worked out without widgets.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bitmap.h"
#include "vtf_helper.h"

inline constexpr int TextureFlagCount = 25;
// Caption of the check box for flag bit (1 shl i).
extern const std::array<const char*, TextureFlagCount> TextureFlagCaptions;

// Which flag boxes are on; bits 25 to 31 have no box and are ignored.
std::array<bool, TextureFlagCount> TextureFlagStates(int32_t flags);

// The mip combo's items "0" to mips - 1, as many as the Info page shows. A texture file
// stores its level count in one byte, so a larger count is taken as 255.
std::vector<std::string> MipItems(int32_t mips);

// The level the mip combo asks for: the selected item, or else typed text that names one of
// the items; nothing for anything else.
std::optional<int32_t> MipLevelFromCombo(int32_t itemIndex, const std::string& text, int32_t itemCount);

struct TViewerImage {
    std::unique_ptr<TBitmap> Bitmap;
    bool IsTexture = false;
    int32_t Mips = 0;  // textures only
};

// The full-size image of a file: a texture's level 0, or the picture a reader gives, drawn
// onto a white 24-bit bitmap when it is not a bitmap itself.
TViewerImage LoadViewerImage(const std::string& path);

struct TInfoValues {
    std::string Dimensions = "0";
    std::string FramesCount = "0";
    std::string MipsCount = "0";
    std::string FaceCount = "0";
};

// The Info page's values for an ordinary image of the viewer's size.
TInfoValues ImageInfoValues(int32_t width, int32_t height);
TInfoValues TextureInfoValues(const TextureInfo& info);
