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

}  // namespace peers
