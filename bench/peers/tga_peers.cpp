// Targa: our reader against stb_image on photo-like 24-bit pictures the benchmark writes,
// plain and run-length encoded, and on the large Targa files of the corpus.
#include <cstdio>

#include "formats/targa.h"
#include "peers.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

const Registration registration([] {
    const std::vector<Peer> stb = {{"stb_image", DecodeStbImage}};
    const Picture photo = PhotoLike(2048, 2048, 1);
    Compare("tga", "photo_rgb24_2048x2048", std::make_shared<Bytes>(WriteTga(photo, false)), DecodeOurs<TTargaGraphic>, stb);
    Compare("tga", "photo_rle_rgb24_2048x2048", std::make_shared<Bytes>(WriteTga(photo, true)), DecodeOurs<TTargaGraphic>,
            stb);
    const fs::path corpus = CorpusDir();
    if (corpus.empty()) return;
    for (const auto& e : fs::directory_iterator(corpus / "synthetic" / "large"))
        if (e.path().extension() == ".tga")
            Compare("tga", e.path().stem().string(), std::make_shared<Bytes>(ReadBytes(e.path())), DecodeOurs<TTargaGraphic>,
                    stb);
});

}  // namespace

// Plain: the 18-byte header of an uncompressed true-colour image stored from the top, then the
// rows of blue, green, red. Run-length encoded: as our writer stores a 24-bit bitmap.
Bytes WriteTga(const Picture& picture, bool runLength) {
    if (runLength) {
        TTargaGraphic tga;
        tga.Assign(ToBitmap(picture));
        TMemoryStream stream;
        tga.SaveToStream(stream);
        return stream.Bytes();
    }
    Bytes out(18);
    out[2] = 2;  // uncompressed true colour
    out[12] = static_cast<uint8_t>(picture.Width);
    out[13] = static_cast<uint8_t>(picture.Width >> 8);
    out[14] = static_cast<uint8_t>(picture.Height);
    out[15] = static_cast<uint8_t>(picture.Height >> 8);
    out[16] = 24;
    out[17] = 0x20;  // rows from the top
    out.reserve(18 + picture.Rgb.size());
    for (size_t i = 0; i < picture.Rgb.size(); i += 3) {
        out.push_back(picture.Rgb[i + 2]);
        out.push_back(picture.Rgb[i + 1]);
        out.push_back(picture.Rgb[i]);
    }
    return out;
}

}  // namespace peers
