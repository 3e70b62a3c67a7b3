// The program's side of the texture library: its five entries, the info record, and a guard
// that keeps a texture current for the length of one operation.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct TextureInfo {
    int32_t Width = 0, Height = 0, Frames = 0, Mips = 0, Faces = 0, Flags = 0;
};

extern "C" {  // the library's five entries (link to libtexbridge)
int32_t TextureOpen(const char* path);  // path with every backslash doubled
int32_t TextureGetImage(int32_t* width, int32_t* height, int32_t* bytesPerPixel, uint8_t** buffer, int32_t level);
int32_t TextureGetInfo(int32_t* width, int32_t* height, int32_t* frames, int32_t* flags, int32_t* mips, int32_t* faces);
int32_t TextureFreeBuffer(uint8_t** buffer);
int32_t TextureClose();
}

// Calls TextureGetInfo with the fields in its order.
void ReadTextureInfo(TextureInfo& info);

// Opens a file as the current texture (escaping its backslashes) and closes it again when the
// guard goes, also when an exception passes. A file that fails to open leaves no current
// texture: its info reads zero and its images are empty.
//
// The library holds one current texture for the whole process, so a session has it to itself:
// sessions on other threads wait until this one ends. Sessions do not nest.
class TTextureSession {
public:
    explicit TTextureSession(const std::string& path);
    ~TTextureSession();
    TTextureSession(const TTextureSession&) = delete;
    TTextureSession& operator=(const TTextureSession&) = delete;

private:
    std::unique_lock<std::mutex> FLock;
};
