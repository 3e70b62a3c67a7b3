// The picture container: holds one graphic of any registered class and loads a file through the
// class registered for its extension. The list of (extension, description, class) triples is
// shared by all pictures, as the platform's container keeps it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "graphic.h"

class TBitmap;

struct TPictureFormat {
    std::string Extension;  // without the dot, as registered
    std::string Description;
    const TGraphicClass* GraphicClass;
};

class TPicture {
public:
    TPicture() = default;
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   const TGraphicClass* graphicClass);
    // Removes every entry of that class.
    static void UnregisterGraphicClass(const TGraphicClass* graphicClass);
    static const std::vector<TPictureFormat>& RegisteredFormats();
    // The class registered for an extension (no dot, ASCII case-insensitive); the latest
    // registration wins. Null when none.
    static const TGraphicClass* FindGraphicClass(const std::string& extension);

    // Creates the class registered for the file's extension and loads the file through it.
    // An unknown extension raises EInvalidGraphic "Unknown picture file extension (.%s)".
    // On failure the picture keeps its previous graphic.
    void LoadFromFile(const std::string& fileName);

    TGraphic* Graphic() const { return FGraphic.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic) { FGraphic = std::move(graphic); }
    // The graphic when it is a bitmap (every reader is), else null.
    TBitmap* Bitmap() const;
    // Replaces the content by a bitmap copy of the given graphic.
    void AssignBitmap(const TGraphic& graphic);
    void Clear() { FGraphic.reset(); }

    int32_t Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int32_t Height() const { return FGraphic ? FGraphic->Height() : 0; }

    TProgressEvent OnProgress;

private:
    std::unique_ptr<TGraphic> FGraphic;
};
