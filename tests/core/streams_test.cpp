#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "exceptions.h"
#include "streams.h"
#include "test_support.h"

TEST(Streams, PlainReadReturnsWhatIsThereCheckedReadRaises) {
    const uint8_t data[] = {1, 2, 3, 4, 5};
    TMemoryStream s(data, sizeof data);
    uint8_t buf[8] = {};
    EXPECT_EQ(s.Read(buf, 3), 3);
    EXPECT_EQ(s.Read(buf, 8), 2);
    EXPECT_EQ(s.Read(buf, 8), 0);
    s.SetPosition(2);
    try {
        s.ReadBuffer(buf, 4);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    s.SetPosition(1);
    s.ReadBuffer(buf, 4);
    EXPECT_EQ(buf[3], 5);
}

TEST(Streams, SeekingPastTheEndIsAllowedAndReadsNothing) {
    const uint8_t data[] = {1, 2, 3};
    TReadOnlyMemoryStream s(data, sizeof data);
    EXPECT_EQ(s.Seek(10, TSeekOrigin::soBeginning), 10);
    EXPECT_EQ(s.Remaining(), 0);
    uint8_t b;
    EXPECT_EQ(s.Read(&b, 1), 0);
    EXPECT_EQ(s.Seek(-1, TSeekOrigin::soEnd), 2);
    EXPECT_EQ(s.Remaining(), 1);
    EXPECT_EQ(s.Seek(-100, TSeekOrigin::soCurrent), 0);
}

TEST(Streams, MemoryStreamGrowsOnWrite) {
    TMemoryStream s;
    s.WriteBuffer("abc", 3);
    s.Seek(5, TSeekOrigin::soBeginning);
    s.WriteBuffer("z", 1);
    EXPECT_EQ(s.Size(), 6);
    EXPECT_EQ(s.Bytes()[5], 'z');
    EXPECT_EQ(s.Bytes()[4], 0);
}

TEST(Streams, FileStreamRoundTripAndOpenErrors) {
    testsupport::ScratchDir dir;
    auto path = (dir / "f.bin").string();
    {
        TFileStream w(path, TFileMode::fmCreate);
        w.WriteBuffer("hello", 5);
        EXPECT_EQ(w.Size(), 5);
    }
    {
        TFileStream r(path, TFileMode::fmOpenRead);
        EXPECT_EQ(r.Size(), 5);
        char buf[5];
        r.ReadBuffer(buf, 5);
        EXPECT_EQ(std::string(buf, 5), "hello");
        EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);
    }
    auto missing = (dir / "missing.bin").string();
    try {
        TFileStream r(missing, TFileMode::fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + missing + "\". No such file or directory");
    }
    // A folder is not a file.
    EXPECT_THROW(TFileStream(dir.Path().string(), TFileMode::fmOpenRead), EFOpenError);
    // An empty file opens and has no bytes.
    testsupport::WriteFile(dir / "empty", {});
    TFileStream e((dir / "empty").string(), TFileMode::fmOpenRead);
    EXPECT_EQ(e.Size(), 0);
}

TEST(Streams, FileReadsMatchTheFileAcrossBufferRefillsAndSeeks) {
    testsupport::ScratchDir dir;
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    testsupport::WriteFile(dir / "big", bytes);
    TFileStream r((dir / "big").string(), TFileMode::fmOpenRead);
    // Small reads straddling the buffer's edge, a large direct read, then backwards seeks.
    const std::pair<int64_t, int64_t> reads[] = {{0, 3},       {65530, 13}, {70000, 100000}, {5, 1},
                                                 {131070, 4},  {199990, 10}, {65536, 65536}};
    for (auto [at, count] : reads) {
        std::vector<uint8_t> got(static_cast<size_t>(count));
        r.SetPosition(at);
        r.ReadBuffer(got.data(), count);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + at)) << at << "+" << count;
        EXPECT_EQ(r.Position(), at + count);
    }
    uint8_t b;
    r.SetPosition(199999);
    EXPECT_EQ(r.Read(&b, 5), 1);
    EXPECT_EQ(r.Read(&b, 1), 0);
}

TEST(Streams, FilesThatShrinkOrAreNotRegularFailCleanly) {
    testsupport::ScratchDir dir;
    const auto path = dir / "shrinks";
    testsupport::WriteFile(path, std::vector<uint8_t>(300000, 0x5A));
    {
        TFileStream r(path.string(), TFileMode::fmOpenRead);
        std::filesystem::resize_file(path, 1000);  // another program cuts the file meanwhile
        EXPECT_EQ(r.Size(), 300000);
        std::vector<uint8_t> buf(300000);
        EXPECT_THROW(r.ReadBuffer(buf.data(), 300000), EReadError);
        r.SetPosition(100000);
        EXPECT_EQ(r.Read(buf.data(), 10), 0);
    }
    // A pipe would block the open and a device never ends: both are refused at once.
    const auto fifo = dir / "pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {fifo.string(), std::string("/dev/zero")}) {
        try {
            TFileStream r(name, TFileMode::fmOpenRead);
            FAIL() << name;
        } catch (const EFOpenError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + name + "\". ", 0), 0u) << e.what();
        }
    }
}

TEST(Streams, ExclusiveOpenFailsWhileAnotherHolderHasTheFile) {
    testsupport::ScratchDir dir;
    auto path = (dir / "locked").string();
    testsupport::WriteFile(path, {1, 2, 3});
    TFileStream first(path, TFileMode::fmOpenExclusive);
    EXPECT_THROW(TFileStream(path, TFileMode::fmOpenExclusive), EFOpenError);
}

TEST(Streams, ReplaceFileContentKeepsModesAndRespectsTheUmask) {
    testsupport::ScratchDir dir;
    namespace fs = std::filesystem;
    const auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
    const mode_t old = ::umask(027);
    ReplaceFileContent((dir / "new.bin").string(), "a", 1);
    ::umask(old);
    EXPECT_EQ(mode(dir / "new.bin"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    testsupport::WriteFile(dir / "private.bin", {1});
    fs::permissions(dir / "private.bin", fs::perms::owner_read | fs::perms::owner_write);
    ReplaceFileContent((dir / "private.bin").string(), "b", 1);
    EXPECT_EQ(mode(dir / "private.bin"), fs::perms::owner_read | fs::perms::owner_write);

    if (::geteuid() != 0) {  // the superuser may write any file
        testsupport::WriteFile(dir / "readonly.bin", {1, 2});
        fs::permissions(dir / "readonly.bin", fs::perms::owner_read);
        EXPECT_THROW(ReplaceFileContent((dir / "readonly.bin").string(), "c", 1), EFCreateError);
        EXPECT_EQ(testsupport::ReadFile(dir / "readonly.bin"), (std::vector<uint8_t>{1, 2}));
    }
}

TEST(Streams, ReplaceFileContentSwapsWholeFilesAndFollowsLinks) {
    testsupport::ScratchDir dir;
    auto path = dir / "target.bin";
    testsupport::WriteFile(path, {9, 9, 9, 9, 9});
    std::filesystem::create_symlink("target.bin", dir / "link.bin");
    ReplaceFileContent((dir / "link.bin").string(), "ab", 2);
    EXPECT_EQ(testsupport::ReadFile(path), (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bin"));

    auto missing = (dir / "no-such-folder" / "x.bin").string();
    try {
        ReplaceFileContent(missing, "ab", 2);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + missing + "\". No such file or directory");
    }
    // Nothing but the target and the link is left in the folder.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) entries += e.exists() ? 1 : 0;
    EXPECT_EQ(entries, 2);
}
