#include "page_content.h"

#include "picture.h"
#include "strutils.h"

const std::array<const char*, TextureFlagCount> TextureFlagCaptions = {
    "POINTSAMPLE",  "TRILINEAR",     "CLAMPS",         "CLAMPT",
    "ANISOTROPIC",  "HINT_DXT5",     "NOCOMPRESS",     "NORMAL",
    "NOMIP",        "NOLOD",         "MINMIP",         "PROCEDURAL",
    "ONEBITALPHA",  "EIGHTBITALPHA", "ENVMAP",         "RENDERTARGET",
    "DEPTHRENDERTARGET",             "NODEBUGOVERRIDE", "SINGLECOPY",
    "ONEOVERMIPLEVELINALPHA",        "PREMULTCOLORBYONEOVERMIPLEVEL",
    "NORMALTODUDV", "ALPHATESTMIPGENERATION",           "NODEPTHBUFFER",
    "NICEFILTERED",
};

std::array<bool, TextureFlagCount> TextureFlagStates(int32_t flags) {
    std::array<bool, TextureFlagCount> states{};
    for (int i = 0; i < TextureFlagCount; ++i) states[static_cast<size_t>(i)] = (flags & (int32_t{1} << i)) != 0;
    return states;
}

std::vector<std::string> MipItems(int32_t mips) {
    constexpr int32_t MaxMips = 255;
    std::vector<std::string> items;
    for (int32_t i = 0; i < mips && i < MaxMips; ++i) items.push_back(std::to_string(i));
    return items;
}

std::optional<int32_t> MipLevelFromCombo(int32_t itemIndex, const std::string& text, int32_t itemCount) {
    if (itemIndex >= 0 && itemIndex < itemCount) return itemIndex;
    // Only plain decimal digits: "+1", " 2" or "0x1" are not item texts.
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char ch : text)
        if (ch < '0' || ch > '9') return std::nullopt;
    int32_t level = StrToIntDef(text, -1);
    if (level < 0 || level >= itemCount) return std::nullopt;
    return level;
}

TViewerImage LoadViewerImage(const std::string& path) {
    TViewerImage result;
    if (IsTexturePath(path)) {
        TTextureSession texture(path);
        TextureInfo info;
        ReadTextureInfo(info);
        result.Bitmap = TextureMipToBitmap(0);
        result.IsTexture = true;
        result.Mips = info.Mips;
        return result;
    }
    TPicture picture;
    picture.LoadFromFile(path);
    // A bitmap is copied; any other graphic is drawn onto a white 24-bit bitmap of its size.
    result.Bitmap = std::make_unique<TBitmap>();
    result.Bitmap->Assign(*picture.Graphic());
    return result;
}

TInfoValues ImageInfoValues(int32_t width, int32_t height) {
    TInfoValues v;
    v.Dimensions = std::to_string(width) + "x" + std::to_string(height);
    v.FramesCount = v.MipsCount = v.FaceCount = "1";
    return v;
}

TInfoValues TextureInfoValues(const TextureInfo& d) {
    TInfoValues v;
    v.Dimensions = std::to_string(d.Width) + "x" + std::to_string(d.Height);
    v.FramesCount = std::to_string(d.Frames);
    v.MipsCount = std::to_string(d.Mips);
    v.FaceCount = std::to_string(d.Faces);
    return v;
}
