// Hand-made SGI and Wavefront RLA files for the tests and the benchmarks, coded as the common
// writers do: runs of three or more samples become run packets, the rest literal packets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sgirlafiles {

using Bytes = std::vector<uint8_t>;

inline void PutBE(Bytes& b, uint32_t v, int bytes) {
    for (int s = 8 * (bytes - 1); s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// Splits n values into packets of at most limit values: packet(start, count, isRun).
template <class T, class Packet>
void Packets(const T* v, size_t n, size_t limit, Packet packet) {
    auto runAt = [&](size_t i) {
        size_t run = 1;
        while (i + run < n && run < limit && v[i + run] == v[i]) ++run;
        return run;
    };
    for (size_t i = 0; i < n;) {
        size_t len = runAt(i);
        const bool run = len >= 3;
        if (!run)
            for (len = 1; i + len < n && len < limit && runAt(i + len) < 3;) ++len;
        packet(i, len, run);
        i += len;
    }
}

struct SGILayout {
    int Width = 1, Height = 1, Channels = 1, BytesPerSample = 1;
    bool RunLength = false;
    uint8_t Storage = 0;  // written as is for plain files; run-length files store 1
};

// samples in stored order: channel by channel, each bottom row first; index (c * H + y) * W + x.
inline Bytes SGIFile(const SGILayout& l, const std::vector<uint16_t>& samples) {
    const int bps = l.BytesPerSample;
    Bytes b;
    PutBE(b, 474, 2);
    b.push_back(l.RunLength ? 1 : l.Storage);
    b.push_back(static_cast<uint8_t>(bps));
    for (int v : {l.Channels == 1 ? 2 : 3, l.Width, l.Height, l.Channels}) PutBE(b, static_cast<uint32_t>(v), 2);
    b.resize(512);
    if (!l.RunLength) {
        for (uint16_t v : samples) PutBE(b, v, bps);
        return b;
    }
    const size_t rows = static_cast<size_t>(l.Height) * l.Channels, w = static_cast<size_t>(l.Width);
    const uint32_t base = static_cast<uint32_t>(512 + rows * 8);
    Bytes data;
    std::vector<uint32_t> starts, lengths;
    for (size_t r = 0; r < rows; ++r) {
        starts.push_back(base + static_cast<uint32_t>(data.size()));
        const uint16_t* s = samples.data() + r * w;
        Packets(s, w, 127, [&](size_t i, size_t n, bool run) {
            PutBE(data, static_cast<uint32_t>(n | (run ? 0 : 0x80)), bps);
            for (size_t k = 0; k < (run ? 1 : n); ++k) PutBE(data, s[i + k], bps);
        });
        PutBE(data, 0, bps);
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

// rows[y][c]: the bytes of channel c of stored row y (for wide channels the byte planes, the
// most significant first).
inline Bytes RLAFile(const RLALayout& l, const std::vector<std::vector<Bytes>>& rows) {
    Bytes b;
    b.resize(8);
    for (int v : std::initializer_list<int>{l.Left, l.Right, l.Bottom, l.Top, 0, 0, l.Colors, l.Mattes, 0, l.Revision})
        PutBE(b, static_cast<uint32_t>(v), 2);
    b.insert(b.end(), l.Gamma.begin(), l.Gamma.end());
    b.resize(580);
    b.insert(b.end(), l.Type.begin(), l.Type.end());
    b.resize(658);
    PutBE(b, static_cast<uint32_t>(l.Bits), 2);
    b.resize(740);
    const uint32_t base = static_cast<uint32_t>(740 + rows.size() * 4);
    Bytes data;
    for (const std::vector<Bytes>& row : rows) {
        PutBE(b, base + static_cast<uint32_t>(data.size()), 4);
        for (const Bytes& v : row) {
            // c >= 0 repeats the next byte c + 1 times, c < 0 copies -c bytes.
            Bytes packed;
            Packets(v.data(), v.size(), 128, [&](size_t i, size_t n, bool run) {
                packed.push_back(static_cast<uint8_t>(run ? n - 1 : 256 - n));
                packed.insert(packed.end(), v.begin() + static_cast<std::ptrdiff_t>(i),
                              v.begin() + static_cast<std::ptrdiff_t>(i + (run ? 1 : n)));
            });
            PutBE(data, static_cast<uint32_t>(packed.size()), 2);
            data.insert(data.end(), packed.begin(), packed.end());
        }
    }
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// A picture for the benchmarks, half gradients (literal packets), half flat blocks (runs).
inline uint8_t BenchmarkSample(int c, int x, int y) {
    return static_cast<uint8_t>(x < 1024 ? x + y + c * 50 : ((x / 16) ^ (y / 16)) * 7 + c * 30);
}

}  // namespace sgirlafiles
