// The peer benchmark: our readers against other decoders on the same files in one run.
//
// Each format has a source of its own in this folder that adds comparisons at start-up: one
// file (read into memory, or written by the benchmark), our decoder and one or more peers. The
// program times every side with Google Benchmark and then prints one line per file and peer:
// our median, the peer's median and the ratio ours / peer (below 1.0: we are faster).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bitmap.h"
#include "streams.h"

namespace peers {

using Bytes = std::vector<uint8_t>;
// Decodes the whole file from memory and answers something of the result (its byte count),
// so that the work cannot be optimised away.
using Decoder = std::function<size_t(const Bytes&)>;

struct Peer {
    std::string Name;  // "libpng", "stb_image", ...
    Decoder Decode;
};

// Registers a comparison: "format/label" names it in the output.
void Compare(const std::string& format, const std::string& label, std::shared_ptr<const Bytes> file, Decoder ours,
             std::vector<Peer> others);

// ../shared/corpus beside the project, or empty (the format then says so and adds nothing).
std::filesystem::path CorpusDir();
Bytes ReadBytes(const std::filesystem::path& path);

// Runs a format's registration at start-up: `const peers::Registration r([] { ... });`
struct Registration {
    explicit Registration(const std::function<void()>& add);
};

// A photo-like picture for files the benchmark writes: shading, hard edges and a little sensor
// noise, so that it compresses as photographs do. Rows of red, green, blue, top-down, packed.
struct Picture {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Rgb;
};
Picture PhotoLike(int width, int height, uint32_t seed);
TBitmap ToBitmap(const Picture& picture);  // 24 bits

// Our side of a comparison: the graphic class decoding the file from memory, as it reads a
// mapped file; answers the pixel count.
template <class Graphic>
size_t DecodeOurs(const Bytes& file);

// stb_image's decode to the file's own channels, the peer of several formats.
size_t DecodeStbImage(const Bytes& file);

// Writers of the benchmark's own files, one in each format's source.
Bytes WritePng(const Picture& picture);
Bytes WriteJpeg(const Picture& picture, int quality);
Bytes WriteBmp(const Picture& picture);
Bytes WriteTga(const Picture& picture, bool runLength);

// A zero-filled buffer from calloc, as our bitmaps take theirs, for the peers' output.
struct FreeDeleter {
    void operator()(void* p) const;
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;
Buffer ZeroedBuffer(size_t bytes);

template <class Graphic>
size_t DecodeOurs(const Bytes& file) {
    TReadOnlyMemoryStream stream(file.data(), file.size());
    Graphic graphic;
    graphic.LoadFromStream(stream);
    return static_cast<size_t>(graphic.Width()) * static_cast<size_t>(graphic.Height());
}

}  // namespace peers
