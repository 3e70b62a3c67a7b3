// Windows bitmaps: our reader against stb_image on a photo-like 24-bit picture the benchmark
// writes. stb_image turns the bottom-up rows into red-green-blue top-down ones, as our reader
// turns them into top-down blue-green-red rows.

#include "peers.h"

namespace peers {
namespace {

const Registration registration([] {
    Compare("bmp", "photo_rgb24_2048x2048", std::make_shared<Bytes>(WriteBmp(PhotoLike(2048, 2048, 1))),
            DecodeOurs<TBitmap>, {{"stb_image", DecodeStbImage}});
});

}  // namespace

Bytes WriteBmp(const Picture& picture) {
    TMemoryStream stream;
    ToBitmap(picture).SaveToStream(stream);
    return stream.Bytes();
}

}  // namespace peers
