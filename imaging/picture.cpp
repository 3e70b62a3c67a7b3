#include "picture.h"

#include "bitmap.h"
#include "exceptions.h"
#include "strutils.h"

namespace {
std::vector<TPictureFormat>& Formats() {
    static std::vector<TPictureFormat> formats;
    return formats;
}
}  // namespace

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  const TGraphicClass* graphicClass) {
    Formats().push_back(TPictureFormat{AsciiLower(extension), description, graphicClass});
}

void TPicture::UnregisterGraphicClass(const TGraphicClass* graphicClass) {
    auto& formats = Formats();
    std::erase_if(formats, [&](const TPictureFormat& f) { return f.GraphicClass == graphicClass; });
}

const std::vector<TPictureFormat>& TPicture::RegisteredFormats() { return Formats(); }

const TGraphicClass* TPicture::FindGraphicClass(const std::string& extension) {
    const auto& formats = Formats();
    for (auto it = formats.rbegin(); it != formats.rend(); ++it)
        if (SameTextAscii(it->Extension, extension)) return it->GraphicClass;
    return nullptr;
}

void TPicture::LoadFromFile(const std::string& fileName) {
    std::string ext = ExtractFileExt(fileName);
    if (!ext.empty()) ext.erase(0, 1);
    const TGraphicClass* cls = FindGraphicClass(ext);
    if (cls == nullptr || ext.empty()) throw EInvalidGraphic(Format(SUnknownExtension, ext));
    std::unique_ptr<TGraphic> graphic = cls->Create();
    graphic->OnProgress = OnProgress;
    graphic->LoadFromFile(fileName);
    FGraphic = std::move(graphic);
}

TBitmap* TPicture::Bitmap() const { return dynamic_cast<TBitmap*>(FGraphic.get()); }

void TPicture::AssignBitmap(const TGraphic& graphic) {
    auto bmp = std::make_unique<TBitmap>();
    bmp->Assign(graphic);
    FGraphic = std::move(bmp);
}
