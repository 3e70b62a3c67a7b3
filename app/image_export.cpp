#include "image_export.h"

#include "jpeg_image.h"
#include "streams.h"

// Both exports are made in memory first and then replace the file in one step, so a failed
// write never leaves a truncated file in place of an existing one.

void SaveBitmapFile(const TBitmap& bitmap, const std::string& fileName) {
    TBitmap copy(bitmap);
    TMemoryStream data;
    copy.SaveToStream(data);
    ReplaceFileContent(fileName, data.Memory(), static_cast<size_t>(data.Size()));
}

void SaveJpegFile(const TBitmap& bitmap, const std::string& fileName) {
    TJPEGImage jpeg;
    jpeg.CompressionQuality = 90;
    jpeg.ProgressiveEncoding = false;
    jpeg.Grayscale = false;
    jpeg.Assign(bitmap);
    TMemoryStream data;
    jpeg.SaveToStream(data);
    ReplaceFileContent(fileName, data.Memory(), static_cast<size_t>(data.Size()));
}
