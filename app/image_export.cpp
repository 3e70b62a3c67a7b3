#include "image_export.h"

#include "jpeg_image.h"

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
