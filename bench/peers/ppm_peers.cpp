// Portable pixel maps: a raw 2048 x 2048 P6 file that the benchmark writes, ours against
// stb_image on the same bytes.
#include <stb_image.h>

#include <memory>
#include <string>

#include "formats/ppm.h"
#include "peers.h"
#include "streams.h"

namespace {

std::shared_ptr<const peers::Bytes> PixelMap(int width, int height) {
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    auto file = std::make_shared<peers::Bytes>(header.begin(), header.end());
    file->reserve(file->size() + size_t(width) * height * 3);
    uint32_t state = 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            file->push_back(static_cast<uint8_t>(x + (state >> 28)));
            file->push_back(static_cast<uint8_t>(y));
            file->push_back(static_cast<uint8_t>((x ^ y) + (state >> 30)));
        }
    return file;
}

const peers::Registration registration([] {
    peers::Compare(
        "ppm", "P6 2048x2048", PixelMap(2048, 2048),
        [](const peers::Bytes& file) {
            TPPMGraphic image;
            TReadOnlyMemoryStream stream(file.data(), file.size());
            image.LoadFromStream(stream);
            return image.RowStride() * static_cast<size_t>(image.Height());
        },
        {{"stb_image", [](const peers::Bytes& file) {
              int w = 0, h = 0, n = 0;
              stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
              stbi_image_free(pixels);
              return static_cast<size_t>(w) * h * n;
          }}});
});

}  // namespace
