// Stand-in image formats for the application's tests: tiny text files that name a size, so
// that scans, thumbnails and pages can be checked without any real reader.
//
//   "FAKE W H"  read by TFakeImage (extension "fake") as a W x H 24-bit bitmap whose pixel
//               (x, y) is red x, green y, blue 7 (both taken modulo 256);
//               read by TFakeVector (extension "fvec") as a graphic that is not a bitmap.
// Anything else raises EInvalidGraphic "Fake image is damaged".
#pragma once

#include <filesystem>

// Registers both formats with the program's registry (initialising it first); idempotent.
void RegisterFakeFormats();

void WriteFakeImage(const std::filesystem::path& path, int width, int height);
void WriteDamagedImage(const std::filesystem::path& path);
