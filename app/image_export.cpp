#include "image_export.h"

#include "formats/jpeg_image.h"

// Saving to a file makes it in memory first and then replaces the file in one step, so a failed
// write never leaves a truncated file in place of an existing one.

void SaveBitmapFile(const TBitmap& bitmap, const std::string& fileName) {
    TBitmap copy(bitmap);
    copy.SaveToFile(fileName);
}

void SaveJpegFile(const TBitmap& bitmap, const std::string& fileName) {
    TJPEGImage jpeg;
    jpeg.CompressionQuality = 90;
    jpeg.ProgressiveEncoding = false;
    jpeg.Grayscale = false;
    jpeg.Assign(bitmap);
    jpeg.SaveToFile(fileName);
}
