#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cache_header.h"
#include "exceptions.h"
#include "test_support.h"

using testsupport::ScratchDir;
using testsupport::WriteFile;

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

TEST(CacheHeader, FullHeaderClearsWordZero) {
    ScratchDir dir;
    std::vector<uint8_t> bytes = Bytes(44, 0x10);
    bytes[0] = 1, bytes[1] = bytes[2] = bytes[3] = 0;  // first word 1
    WriteFile(dir / "a.gcf", bytes);
    ReadCacheHeader((dir / "a.gcf").string());
    EXPECT_EQ(CacheHeader.Word(0), 0u);
    for (int w = 1; w < 11; ++w) {
        size_t o = static_cast<size_t>(w) * 4;
        uint32_t expected = bytes[o] | (bytes[o + 1] << 8) | (bytes[o + 2] << 16) | (uint32_t{bytes[o + 3]} << 24);
        EXPECT_EQ(CacheHeader.Word(w), expected) << w;
    }
}

TEST(CacheHeader, ShortFileKeepsTheRestOfThePreviousHeader) {
    ScratchDir dir;
    WriteFile(dir / "long.gcf", Bytes(60, 0x20));  // longer than a header: only 44 bytes read
    WriteFile(dir / "short.gcf", Bytes(10, 0x80));
    ReadCacheHeader((dir / "long.gcf").string());
    ReadCacheHeader((dir / "short.gcf").string());
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(CacheHeader.Bytes[i], 0) << i;
    for (size_t i = 4; i < 10; ++i) EXPECT_EQ(CacheHeader.Bytes[i], 0x80 + i) << i;
    for (size_t i = 10; i < 44; ++i) EXPECT_EQ(CacheHeader.Bytes[i], 0x20 + i) << i;

    WriteFile(dir / "empty.gcf", {});
    ReadCacheHeader((dir / "empty.gcf").string());
    EXPECT_EQ(CacheHeader.Bytes[4], 0x84);
}

TEST(CacheHeader, MissingFileFolderOrEmptyNameDoNothing) {
    ScratchDir dir;
    WriteFile(dir / "a.gcf", Bytes(44, 0x40));
    ReadCacheHeader((dir / "a.gcf").string());
    const auto before = CacheHeader.Bytes;
    EXPECT_NO_THROW(ReadCacheHeader((dir / "missing.gcf").string()));
    EXPECT_NO_THROW(ReadCacheHeader(""));
    EXPECT_NO_THROW(ReadCacheHeader(dir.Path().string()));
    EXPECT_EQ(CacheHeader.Bytes, before);
}

TEST(CacheHeader, FileHeldLockedByAnotherIsNotOpened) {
    ScratchDir dir;
    WriteFile(dir / "a.gcf", Bytes(44, 0x40));
    ReadCacheHeader((dir / "a.gcf").string());
    const auto before = CacheHeader.Bytes;
    WriteFile(dir / "locked.gcf", Bytes(44, 0x90));
    int fd = ::open((dir / "locked.gcf").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    try {
        ReadCacheHeader((dir / "locked.gcf").string());
        ADD_FAILURE() << "no error raised";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + (dir / "locked.gcf").string() + "\". ", 0), 0u)
            << e.what();
    }
    ::close(fd);
    EXPECT_EQ(CacheHeader.Bytes, before);
}

}  // namespace
