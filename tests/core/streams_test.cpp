#include <gtest/gtest.h>

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

TEST(Streams, ExclusiveOpenFailsWhileAnotherHolderHasTheFile) {
    testsupport::ScratchDir dir;
    auto path = (dir / "locked").string();
    testsupport::WriteFile(path, {1, 2, 3});
    TFileStream first(path, TFileMode::fmOpenExclusive);
    EXPECT_THROW(TFileStream(path, TFileMode::fmOpenExclusive), EFOpenError);
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
