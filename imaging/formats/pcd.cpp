#include "pcd.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "exceptions.h"
#include "streams.h"

const TGraphicClass TPCDGraphic::Class = {
    "TPCDGraphic", [] { return std::unique_ptr<TGraphic>(new TPCDGraphic); }, &TPCDGraphic::CanReadStream};

namespace {

constexpr int64_t SectorSize = 2048;
constexpr int64_t HeaderSize = 6144;
constexpr int64_t PackSignatureOffset = 2048;
constexpr int64_t OrientationOffset = 3586;
constexpr int64_t BaseSector = 96;
constexpr int64_t OverviewSector = 5;
constexpr int BaseWidth = 768;
constexpr int BaseHeight = 512;

bool IsOverview(const uint8_t* header) { return std::memcmp(header, "PCD_OPA", 7) == 0; }
bool IsImagePack(const uint8_t* header) { return std::memcmp(header + PackSignatureOffset, "PCD", 3) == 0; }
bool IsQuarterTurn(uint8_t rotation) { return rotation == 1 || rotation == 3; }

}  // namespace

bool TPCDGraphic::CanReadStream(TStream& stream) {
    uint8_t header[PackSignatureOffset + 3];
    return PeekSignature(stream, HeaderSize, header, sizeof header) && (IsOverview(header) || IsImagePack(header));
}

bool TPCDGraphic::CanReadFile(const std::string& fileName) {
    return TImageGraphic::CanReadFile(fileName, &TPCDGraphic::CanReadStream);
}

bool TPCDGraphic::ReadProperties(TStream& stream, uint32_t imageIndex) {
    TImageGraphic::ReadProperties(stream, imageIndex);
    std::vector<uint8_t> header(HeaderSize);
    stream.ReadBuffer(header.data(), HeaderSize);
    const uint32_t index = std::min(imageIndex, 5u);
    TImageProperties& p = Properties;
    p.IsOverview = IsOverview(header.data());
    p.RotationCode = header[OrientationOffset] & 3;
    const uint32_t resolution = p.IsOverview ? 0 : index;
    p.Width = 192 << resolution;
    p.Height = 128 << resolution;
    if (IsQuarterTurn(p.RotationCode)) std::swap(p.Width, p.Height);
    p.PixelModel = pmPhotoYCC;
    p.BitsPerSample = 8;
    p.SamplesPerPixel = 3;
    p.BitsPerPixel = 24;
    p.Compression = index > 2 ? ckPhotoCDHuffman : ckNone;
    p.ImageCount = static_cast<uint16_t>(header[10] << 8 | header[11]);
    return p.IsOverview || IsImagePack(header.data());
}

void TPCDGraphic::Upsample(uint8_t* plane, int w, int h, size_t stride) {
    if (w <= 0 || h <= 0) return;
    const size_t last = static_cast<size_t>(w) - 1;
    // Rows to their doubled places, from the last, each from the right: nothing is
    // overwritten before it is read, also where row 0 doubles onto itself.
    for (int r = h - 1; r >= 0; --r) {
        const uint8_t* src = plane + static_cast<size_t>(r) * stride;
        uint8_t* dst = plane + 2 * static_cast<size_t>(r) * stride;
        const uint8_t end = src[last];
        dst[2 * last + 1] = end;
        dst[2 * last] = end;
        for (size_t x = last; x-- > 0;) {
            const uint8_t a = src[x], b = src[x + 1];
            dst[2 * x + 1] = static_cast<uint8_t>((a + b + 1) / 2);
            dst[2 * x] = a;
        }
    }
    const size_t width = 2 * static_cast<size_t>(w);
    for (int r = 0; r + 1 < h; ++r) {
        const uint8_t* above = plane + 2 * static_cast<size_t>(r) * stride;
        const uint8_t* below = above + 2 * stride;
        uint8_t* mid = plane + (2 * static_cast<size_t>(r) + 1) * stride;
        for (size_t k = 0; k < last; ++k) {
            mid[2 * k] = static_cast<uint8_t>((above[2 * k] + below[2 * k] + 1) / 2);
            mid[2 * k + 1] =
                static_cast<uint8_t>((above[2 * k] + above[2 * k + 2] + below[2 * k] + below[2 * k + 2] + 2) / 4);
        }
        for (size_t x = width - 2; x < width; ++x) mid[x] = static_cast<uint8_t>((above[x] + below[x] + 1) / 2);
    }
    std::memcpy(plane + (2 * static_cast<size_t>(h) - 1) * stride, plane + (2 * static_cast<size_t>(h) - 2) * stride,
                width);
}

void TPCDGraphic::LoadFromStream(TStream& stream) {
    ReleaseImage();
    const int64_t start = stream.Position();
    StartOffset = static_cast<uint32_t>(start);
    if (!ReadProperties(stream, 2)) return;
    stream.SetPosition(start);
    ProgressArea = TRect{0, 0, Properties.Width, 1};
    StartProgress(gesPreparing);

    constexpr size_t W = BaseWidth, H = BaseHeight;
    std::vector<uint8_t> luma(W * H), chroma1(W * H), chroma2(W * H);
    stream.SetPosition(start + (Properties.IsOverview ? OverviewSector : BaseSector) * SectorSize);

    ColorConverter.SetSourceModel(pmPhotoYCC);
    ColorConverter.SetSourceSampleBits(8);
    ColorConverter.SetSourceSampleCount(3);
    ColorConverter.SetTargetModel(pmBGR);
    ColorConverter.SetTargetSampleBits(8);
    ColorConverter.SetTargetSampleCount(3);
    SetPixelFormat(pf24bit);
    ColorConverter.SetYCbCrWeights({0.2125f, 0.7154f, 0.0721f}, 2, 2);

    auto running = [this](size_t done, size_t total, bool redraw) {
        Progress(this, psRunning, static_cast<uint8_t>(done * 100 / total), redraw, ProgressArea, std::string());
    };
    EndProgress();
    StartProgress(gesLoadingData);
    for (size_t g = 0; g < H / 2; ++g) {
        running(2 * g, H, false);
        stream.ReadBuffer(luma.data() + 2 * g * W, 2 * W);
        stream.ReadBuffer(chroma1.data() + g * W, W / 2);
        stream.ReadBuffer(chroma2.data() + g * W, W / 2);
    }

    EndProgress();
    StartProgress(gesUpsampling);
    running(80, 100, false);
    Upsample(chroma1.data(), W / 2, H / 2, W);
    running(100, 100, false);
    Upsample(chroma2.data(), W / 2, H / 2, W);

    EndProgress();
    StartProgress(gesTransfering);
    const uint8_t rotation = Properties.RotationCode;
    std::vector<uint8_t> turned;
    if (IsQuarterTurn(rotation)) {
        SetSize(static_cast<int32_t>(H), static_cast<int32_t>(W));
        ProgressArea.Right = static_cast<int32_t>(H);
        turned.resize(W * 3);
    } else {
        SetSize(static_cast<int32_t>(W), static_cast<int32_t>(H));
    }
    uint8_t* const bits = ScanLine(0);
    const size_t stride = RowStride();
    for (size_t y = 0; y < H; ++y) {
        const void* const planes[] = {luma.data() + y * W, chroma1.data() + y * W, chroma2.data() + y * W};
        if (turned.empty()) {
            ColorConverter.ConvertLine(planes, ScanLine(static_cast<int32_t>(y)), static_cast<int32_t>(W), 0xFF);
        } else {
            ColorConverter.ConvertLine(planes, turned.data(), static_cast<int32_t>(W), 0xFF);
            // A quarter turn to the left (1) puts stored row y in column y, bottom up; to the
            // right (3) in column 511 - y, top down.
            for (size_t x = 0; x < W; ++x) {
                const size_t row = rotation == 1 ? W - 1 - x : x;
                const size_t column = rotation == 1 ? y : H - 1 - y;
                std::memcpy(bits + row * stride + 3 * column, turned.data() + 3 * x, 3);
            }
        }
        running(y, H, true);
        ProgressArea.Top += 1;
        ProgressArea.Bottom += 1;
    }
    EndProgress();
}
