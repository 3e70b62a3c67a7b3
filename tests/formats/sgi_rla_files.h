// Hand-made SGI and Wavefront RLA files for the tests and the benchmarks, written the way the
// common writers do: run-length rows end with a zero count, runs of three or more samples
// become run packets and everything else literal packets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sgirlafiles {

using Bytes = std::vector<uint8_t>;

inline void PutBE(Bytes& b, uint32_t v, int bytes) {
    for (int s = 8 * (bytes - 1); s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// Length of the run of equal values starting at i, at most limit.
template <class T>
size_t RunAt(const T* v, size_t i, size_t n, size_t limit) {
    size_t run = 1;
    while (i + run < n && run < limit && v[i + run] == v[i]) ++run;
    return run;
}

struct SGILayout {
    int Width = 1, Height = 1, Channels = 1, BytesPerSample = 1;
    bool RunLength = false;
    uint8_t Storage = 0;  // written as is for plain files; run-length files store 1
};

// One run-length row: counts of the sample size (a byte, or a big-endian word), then 0.
inline void SGIRow(Bytes& out, const uint16_t* s, size_t n, int bps) {
    auto count = [&](uint32_t c) { PutBE(out, c, bps); };
    for (size_t i = 0; i < n;) {
        size_t run = RunAt(s, i, n, 127);
        if (run >= 3) {
            count(static_cast<uint32_t>(run));
            PutBE(out, s[i], bps);
            i += run;
            continue;
        }
        size_t lit = 0;
        while (i + lit < n && lit < 127 && RunAt(s, i + lit, n, 3) < 3) ++lit;
        lit = std::max<size_t>(lit, 1);
        count(0x80 | static_cast<uint32_t>(lit));
        for (size_t k = 0; k < lit; ++k) PutBE(out, s[i + k], bps);
        i += lit;
    }
    count(0);
}

// samples in stored order: channel by channel, each bottom row first; index (c * H + y) * W + x.
inline Bytes SGIFile(const SGILayout& l, const std::vector<uint16_t>& samples) {
    Bytes b;
    PutBE(b, 474, 2);
    b.push_back(l.RunLength ? 1 : l.Storage);
    b.push_back(static_cast<uint8_t>(l.BytesPerSample));
    PutBE(b, l.Channels == 1 ? 2 : 3, 2);
    PutBE(b, static_cast<uint32_t>(l.Width), 2);
    PutBE(b, static_cast<uint32_t>(l.Height), 2);
    PutBE(b, static_cast<uint32_t>(l.Channels), 2);
    b.resize(512);
    const size_t rows = static_cast<size_t>(l.Height) * l.Channels, w = static_cast<size_t>(l.Width);
    if (!l.RunLength) {
        for (uint16_t v : samples) PutBE(b, v, l.BytesPerSample);
        return b;
    }
    Bytes data;
    std::vector<uint32_t> starts, lengths;
    const uint32_t base = static_cast<uint32_t>(512 + rows * 8);
    for (size_t r = 0; r < rows; ++r) {
        starts.push_back(base + static_cast<uint32_t>(data.size()));
        SGIRow(data, samples.data() + r * w, w, l.BytesPerSample);
        lengths.push_back(base + static_cast<uint32_t>(data.size()) - starts.back());
    }
    for (uint32_t v : starts) PutBE(b, v, 4);
    for (uint32_t v : lengths) PutBE(b, v, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

struct RLALayout {
    int16_t Left = 0, Right = 0, Bottom = 0, Top = 0;  // the active window
    int Colors = 3, Mattes = 0, Bits = 8;
    std::string Gamma = "", Type = "rgb";
    uint16_t Revision = 0xFFFE;
};

// Run-length bytes: c >= 0 repeats the next byte c + 1 times, c < 0 copies -c bytes.
inline void RLAChannel(Bytes& out, const Bytes& v) {
    Bytes packed;
    for (size_t i = 0; i < v.size();) {
        size_t run = RunAt(v.data(), i, v.size(), 128);
        if (run >= 3) {
            packed.push_back(static_cast<uint8_t>(run - 1));
            packed.push_back(v[i]);
            i += run;
            continue;
        }
        size_t lit = 0;
        while (i + lit < v.size() && lit < 128 && RunAt(v.data(), i + lit, v.size(), 3) < 3) ++lit;
        lit = std::max<size_t>(lit, 1);
        packed.push_back(static_cast<uint8_t>(-static_cast<int>(lit)));
        packed.insert(packed.end(), v.begin() + static_cast<std::ptrdiff_t>(i),
                      v.begin() + static_cast<std::ptrdiff_t>(i + lit));
        i += lit;
    }
    PutBE(out, static_cast<uint32_t>(packed.size()), 2);
    out.insert(out.end(), packed.begin(), packed.end());
}

// rows[y][c]: the bytes of channel c of stored row y (for wide channels the byte planes, the
// most significant first).
inline Bytes RLAFile(const RLALayout& l, const std::vector<std::vector<Bytes>>& rows) {
    Bytes b(740, 0);
    auto put16 = [&](size_t at, uint32_t v) {
        b[at] = static_cast<uint8_t>(v >> 8);
        b[at + 1] = static_cast<uint8_t>(v);
    };
    put16(8, static_cast<uint16_t>(l.Left));
    put16(10, static_cast<uint16_t>(l.Right));
    put16(12, static_cast<uint16_t>(l.Bottom));
    put16(14, static_cast<uint16_t>(l.Top));
    put16(20, static_cast<uint32_t>(l.Colors));
    put16(22, static_cast<uint32_t>(l.Mattes));
    put16(26, l.Revision);
    std::copy_n(l.Gamma.begin(), std::min<size_t>(l.Gamma.size(), 16), b.begin() + 28);
    std::copy_n(l.Type.begin(), std::min<size_t>(l.Type.size(), 32), b.begin() + 580);
    put16(658, static_cast<uint32_t>(l.Bits));
    Bytes data;
    std::vector<uint32_t> offsets;
    const uint32_t base = static_cast<uint32_t>(740 + rows.size() * 4);
    for (const std::vector<Bytes>& row : rows) {
        offsets.push_back(base + static_cast<uint32_t>(data.size()));
        for (const Bytes& channel : row) RLAChannel(data, channel);
    }
    for (uint32_t v : offsets) PutBE(b, v, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// A picture for the benchmarks, half gradients (literal packets), half flat blocks (runs).
inline uint8_t BenchmarkSample(int c, int x, int y) {
    return static_cast<uint8_t>(x < 1024 ? x + y + c * 50 : ((x / 16) ^ (y / 16)) * 7 + c * 30);
}

}  // namespace sgirlafiles
