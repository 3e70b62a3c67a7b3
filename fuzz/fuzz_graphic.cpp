// Loads the input through one graphic class, the way the browser treats a file of one of that
// class's extensions: the class comes from the picture container's format list, the graphic
// loads from the bytes, a graphic that is not a bitmap is drawn onto one, and the bitmap is
// fitted into the thumbnail box. The program's own exceptions are the expected end of a bad
// input; anything else (another exception, a sanitizer report, a signal) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bitmap.h"
#include "exceptions.h"
#include "format_registry.h"
#include "formats/jpeg_image.h"
#include "picture.h"
#include "streams.h"
#include "thumbnail.h"

namespace {
const TGraphicClass* GraphicClass = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InitializeFileFormats();
    GraphicClass = TPicture::FindGraphicClass(FUZZ_EXTENSION);
    if (GraphicClass == nullptr || std::strcmp(GraphicClass->ClassName, FUZZ_CLASS) != 0) {
        std::fprintf(stderr, "extension %s is not read by %s\n", FUZZ_EXTENSION, FUZZ_CLASS);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        std::unique_ptr<TGraphic> graphic = GraphicClass->Create();
        // The browser decodes JPEG images only as large as the thumbnail needs, the viewer at
        // full size: odd-sized inputs take the first way, even-sized ones the second.
        auto* jpeg = dynamic_cast<TJPEGImage*>(graphic.get());
        if (jpeg && size % 2 == 1)
            jpeg->MinimumSize = [](int32_t w, int32_t h) { return ThumbnailSize(w, h, 100, 100); };
        TReadOnlyMemoryStream stream(data, size);
        graphic->LoadFromStream(stream);
        TBitmap drawn;
        const TBitmap* bitmap = dynamic_cast<const TBitmap*>(graphic.get());
        if (bitmap == nullptr) {
            drawn.Assign(*graphic);
            bitmap = &drawn;
        }
        TBitmap thumbnail;
        if (jpeg)
            FitThumbnailFrom(*bitmap, jpeg->FullWidth(), jpeg->FullHeight(), thumbnail, 100, 100);
        else
            FitThumbnail(*bitmap, thumbnail);
    } catch (const Exception&) {
    }
    return 0;
}
