// The texture library's C interface: one current texture at a time, opened, queried and
// closed by the caller within one operation.
//
// A failed open leaves no current texture; then the info reads all zero and the image is
// empty. Levels outside 0 to mips - 1 are clamped. The image is frame 0, face 0, depth slice 0
// of the level, rows top to bottom, as R, G, B, A for formats with alpha and R, G, B otherwise.
// Every entry answers 1 on success and 0 on failure.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define TEXBRIDGE_API __declspec(dllexport)
#else
#define TEXBRIDGE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// path: 8-bit, zero-terminated, every backslash doubled.
TEXBRIDGE_API int32_t TextureOpen(const char* path);
// The level's size, bytes per pixel (3 or 4) and a buffer of width x height pixels that the
// caller releases with TextureFreeBuffer. Without an image: zeros and a null buffer.
TEXBRIDGE_API int32_t TextureGetImage(int32_t* width, int32_t* height, int32_t* bytesPerPixel, uint8_t** buffer,
                                      int32_t level);
TEXBRIDGE_API int32_t TextureGetInfo(int32_t* width, int32_t* height, int32_t* frames, int32_t* flags, int32_t* mips,
                                     int32_t* faces);
// Releases the buffer and sets the pointer to null; a null buffer is ignored.
TEXBRIDGE_API int32_t TextureFreeBuffer(uint8_t** buffer);
TEXBRIDGE_API int32_t TextureClose(void);

#ifdef __cplusplus
}
#endif
