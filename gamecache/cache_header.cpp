#include "cache_header.h"

#include <sys/stat.h>

#include <algorithm>

#include "streams.h"

TCacheHeader CacheHeader;

uint32_t TCacheHeader::Word(int index) const {
    const uint8_t* p = &Bytes.at(static_cast<size_t>(index) * 4);
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void TCacheHeader::SetWord(int index, uint32_t value) {
    uint8_t* p = &Bytes.at(static_cast<size_t>(index) * 4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void ReadCacheHeader(const std::string& fileName) {
    struct stat st {};
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    TFileStream file(fileName, TFileMode::fmOpenExclusive);
    std::array<uint8_t, TCacheHeader::ByteCount> buffer{};
    int64_t got = file.Read(buffer.data(), TCacheHeader::ByteCount);
    got = std::clamp<int64_t>(got, 0, TCacheHeader::ByteCount);
    std::copy_n(buffer.begin(), got, CacheHeader.Bytes.begin());
    CacheHeader.SetWord(0, 0);
}
