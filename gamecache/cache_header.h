// The fixed-size header at the start of a game cache file: 44 bytes, taken as eleven 32-bit
// little-endian words. One buffer serves the whole run; each load overwrites it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct TCacheHeader {
    static constexpr int ByteCount = 44;
    static constexpr int WordCount = ByteCount / 4;

    std::array<uint8_t, ByteCount> Bytes{};

    uint32_t Word(int index) const;
    void SetWord(int index, uint32_t value);
};

extern TCacheHeader CacheHeader;

// Reads up to 44 bytes from the start of the file into CacheHeader and clears word 0. A missing
// file (or a folder, or an empty name) does nothing; a shorter file fills only the first bytes
// and the rest keep their previous content. The file is opened exclusively; a file that exists
// but cannot be opened raises EFOpenError "Cannot open file "%s". %s".
void ReadCacheHeader(const std::string& fileName);
