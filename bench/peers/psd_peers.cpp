// Photoshop decoding against stb_image: a 2048 x 2048 RGB document that the benchmark writes,
// once raw and once PackBits-compressed, both decoded from memory into 3-byte pixels.
#include <stb_image.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "formats/psd.h"
#include "peers.h"
#include "streams.h"

namespace {

constexpr int Side = 2048;

void Put16(peers::Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Put32(peers::Bytes& b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v);
}

// The left half of every row is broad bands, which PackBits stores as runs; the right half is
// noise, which it stores as literal stretches. Each channel differs.
std::vector<uint8_t> Plane(int channel) {
    std::vector<uint8_t> plane(size_t{Side} * Side);
    uint32_t state = 12345u + static_cast<uint32_t>(channel);
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            state = state * 1103515245u + 12345u;
            plane[size_t(y) * Side + x] = x < Side / 2 ? static_cast<uint8_t>((x / 16 + y / 8) * (channel + 1))
                                                       : static_cast<uint8_t>(state >> 24);
        }
    return plane;
}

// One row as PackBits: runs of three or more equal bytes as run packets, the rest literally.
void PackRow(const uint8_t* row, int n, peers::Bytes& out) {
    int i = 0;
    while (i < n) {
        int run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(1 - run));
            out.push_back(row[i]);
            i += run;
            continue;
        }
        int literal = 0;
        while (i + literal < n && literal < 128) {
            const int at = i + literal;
            if (at + 2 < n && row[at] == row[at + 1] && row[at] == row[at + 2]) break;
            ++literal;
        }
        out.push_back(static_cast<uint8_t>(literal - 1));
        out.insert(out.end(), row + i, row + i + literal);
        i += literal;
    }
}

peers::Bytes Document(bool packBits) {
    peers::Bytes file = {'8', 'B', 'P', 'S'};
    Put16(file, 1);
    file.insert(file.end(), 6, 0);
    Put16(file, 3);  // channels
    Put32(file, Side);
    Put32(file, Side);
    Put16(file, 8);
    Put16(file, 3);  // RGB
    for (int section = 0; section < 3; ++section) Put32(file, 0);
    Put16(file, packBits ? 1 : 0);
    std::vector<std::vector<uint8_t>> planes = {Plane(0), Plane(1), Plane(2)};
    if (!packBits) {
        for (const auto& plane : planes) file.insert(file.end(), plane.begin(), plane.end());
        return file;
    }
    peers::Bytes counts, packed;
    for (const auto& plane : planes)
        for (int y = 0; y < Side; ++y) {
            const size_t before = packed.size();
            PackRow(plane.data() + size_t(y) * Side, Side, packed);
            Put16(counts, static_cast<uint32_t>(packed.size() - before));
        }
    file.insert(file.end(), counts.begin(), counts.end());
    file.insert(file.end(), packed.begin(), packed.end());
    return file;
}

size_t Ours(const peers::Bytes& file) {
    TPSDGraphic image;
    TReadOnlyMemoryStream stream(file.data(), file.size());
    image.LoadFromStream(stream);
    return image.RowStride() * static_cast<size_t>(image.Height());
}

size_t StbImage(const peers::Bytes& file) {
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width, &height, &channels, 3);
    const size_t bytes = pixels ? size_t(width) * size_t(height) * 3 : 0;
    stbi_image_free(pixels);
    return bytes;
}

const peers::Registration registration([] {
    for (bool packBits : {false, true})
        peers::Compare("psd", packBits ? "rgb-2048-packbits" : "rgb-2048-raw",
                       std::make_shared<const peers::Bytes>(Document(packBits)), Ours, {{"stb_image", StbImage}});
});

}  // namespace
