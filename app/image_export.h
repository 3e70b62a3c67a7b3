// Saving the viewed image: a Windows bitmap file in the bitmap's own pixel format, or a
// baseline colour JPEG file at quality 90. An existing file is replaced.
#pragma once

#include <string>

#include "bitmap.h"

void SaveBitmapFile(const TBitmap& bitmap, const std::string& fileName);
void SaveJpegFile(const TBitmap& bitmap, const std::string& fileName);
