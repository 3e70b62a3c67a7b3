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
        TReadOnlyMemoryStream stream(data, size);
        graphic->LoadFromStream(stream);
        TBitmap drawn;
        const TBitmap* bitmap = dynamic_cast<const TBitmap*>(graphic.get());
        if (bitmap == nullptr) {
            drawn.Assign(*graphic);
            bitmap = &drawn;
        }
        TBitmap thumbnail;
        FitThumbnail(*bitmap, thumbnail);
    } catch (const Exception&) {
    }
    return 0;
}
