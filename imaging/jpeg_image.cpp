#include "jpeg_image.h"

#include "exceptions.h"

const TGraphicClass TJPEGImage::Class = {"TJPEGImage", [] { return std::unique_ptr<TGraphic>(new TJPEGImage); }};

void TJPEGImage::LoadFromStream(TStream&) { throw EInvalidGraphic("JPEG error"); }
void TJPEGImage::SaveToStream(TStream&) { throw EInvalidGraphic("JPEG error"); }
void TJPEGImage::Assign(const TGraphic& source) { FBitmap.Assign(source); }
