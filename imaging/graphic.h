// The graphic base class: something that loads from a stream, knows its size in pixels and
// can draw itself onto a bitmap. Every concrete class has a static class descriptor; a class
// reference is a pointer to that descriptor and is compared by identity.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TStream;
class TBitmap;
class TGraphic;

// A colour as the platform writes it: 0x00BBGGRR.
using TColor = uint32_t;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}
constexpr uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c); }
constexpr uint8_t GetGValue(TColor c) { return static_cast<uint8_t>(c >> 8); }
constexpr uint8_t GetBValue(TColor c) { return static_cast<uint8_t>(c >> 16); }

struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};

struct TGraphicClass {
    const char* ClassName;
    std::unique_ptr<TGraphic> (*Create)();
    // Class-level signature test of the image readers; null for classes that have none.
    bool (*CanReadStream)(TStream& stream) = nullptr;
};

enum TProgressStage : uint8_t { psStarting, psRunning, psEnding };

using TProgressEvent = std::function<void(TGraphic* sender, TProgressStage stage, uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& message)>;

class TGraphic {
public:
    virtual ~TGraphic() = default;

    virtual const TGraphicClass& ClassType() const = 0;

    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream);
    virtual void LoadFromFile(const std::string& fileName);
    virtual void SaveToFile(const std::string& fileName);

    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual bool Empty() const { return Width() == 0 || Height() == 0; }

    // Renders the graphic onto target with its top left corner at (x, y), clipped to the target.
    virtual void Draw(TBitmap& target, int32_t x, int32_t y) const = 0;

    // Copies another graphic into this one; raises EConvertError when the kinds do not mix.
    virtual void Assign(const TGraphic& source);

    TProgressEvent OnProgress;

protected:
    void Progress(TGraphic* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow, const TRect& r,
                  const std::string& message) {
        if (OnProgress) OnProgress(sender, stage, percentDone, redrawNow, r, message);
    }
};

// Declares the descriptor and ClassType of a concrete graphic class.
#define DECLARE_GRAPHIC_CLASS()                                                    \
public:                                                                            \
    static const TGraphicClass Class;                                              \
    const TGraphicClass& ClassType() const override { return Class; }
