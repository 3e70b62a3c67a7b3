#include "fake_images.h"

#include <fstream>
#include <sstream>

#include "bitmap.h"
#include "exceptions.h"
#include "format_registry.h"
#include "streams.h"

namespace {

bool ParseFake(TStream& stream, int& w, int& h) {
    std::string text(static_cast<size_t>(std::min<int64_t>(stream.Remaining(), 64)), '\0');
    stream.Read(text.data(), static_cast<int64_t>(text.size()));
    std::istringstream in(text);
    std::string magic;
    return static_cast<bool>(in >> magic >> w >> h) && magic == "FAKE" && w > 0 && h > 0 && w <= 4096 && h <= 4096;
}

void Paint(TBitmap& b) {
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            b.SetPixel(x, y, TRGBQuad{7, static_cast<uint8_t>(y), static_cast<uint8_t>(x), 0});
}

class TFakeImage : public TBitmap {
    DECLARE_GRAPHIC_CLASS()
public:
    void LoadFromStream(TStream& stream) override {
        int w = 0, h = 0;
        if (!ParseFake(stream, w, h)) throw EInvalidGraphic("Fake image is damaged");
        SetPixelFormat(pf24bit);
        SetSize(w, h);
        Paint(*this);
    }
};

class TFakeVector : public TGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    void LoadFromStream(TStream& stream) override {
        int w = 0, h = 0;
        if (!ParseFake(stream, w, h)) throw EInvalidGraphic("Fake image is damaged");
        FImage.SetPixelFormat(pf24bit);
        FImage.SetSize(w, h);
        Paint(FImage);
    }
    int32_t Width() const override { return FImage.Width(); }
    int32_t Height() const override { return FImage.Height(); }
    void Draw(TBitmap& target, int32_t x, int32_t y) const override { FImage.Draw(target, x, y); }

private:
    TBitmap FImage;
};

const TGraphicClass TFakeImage::Class = {"TFakeImage", [] { return std::unique_ptr<TGraphic>(new TFakeImage); }};
const TGraphicClass TFakeVector::Class = {"TFakeVector", [] { return std::unique_ptr<TGraphic>(new TFakeVector); }};

}  // namespace

void RegisterFakeFormats() {
    InitializeFileFormats();
    if (FileFormats->IndexOfExtension("fake") >= 0) return;
    FileFormats->RegisterFormat("fake", "Fake images", "", fkRaster, false, &TFakeImage::Class);
    FileFormats->RegisterFormat("fvec", "Fake vector images", "", fkVector, false, &TFakeVector::Class);
}

void WriteFakeImage(const std::filesystem::path& path, int width, int height) {
    std::ofstream(path) << "FAKE " << width << ' ' << height << '\n';
}

void WriteDamagedImage(const std::filesystem::path& path) { std::ofstream(path) << "garbage\n"; }
