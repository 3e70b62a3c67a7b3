// The texture library on the input as a ".vtf" file: open, info, every level's image (and
// one level beyond each end, which the library clamps), free, close.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "texbridge.h"

namespace {
std::string TexturePath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    TexturePath = std::string(dir) + "/pictolan-fuzz-" + std::to_string(getpid()) + ".vtf";
    std::atexit([] { std::remove(TexturePath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(TexturePath.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    TextureOpen(TexturePath.c_str());
    int32_t width = 0, height = 0, frames = 0, flags = 0, mips = 0, faces = 0;
    TextureGetInfo(&width, &height, &frames, &flags, &mips, &faces);
    for (int32_t level = -1; level <= mips; ++level) {
        int32_t w = 0, h = 0, bpp = 0;
        uint8_t* buffer = nullptr;
        TextureGetImage(&w, &h, &bpp, &buffer, level);
        if (buffer != nullptr) {
            if (w <= 0 || h <= 0 || (bpp != 3 && bpp != 4)) std::abort();
            // Touch the last byte: the buffer must hold all of it.
            volatile uint8_t last = buffer[static_cast<size_t>(w) * h * bpp - 1];
            (void)last;
        }
        TextureFreeBuffer(&buffer);
    }
    TextureClose();
    return 0;
}
