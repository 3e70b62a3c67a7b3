#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "app_settings.h"
#include "exceptions.h"
#include "ini_file.h"
#include "test_support.h"

using testsupport::ScratchDir;

namespace {

std::string ReadText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

TEST(IniFile, LookupIsCaseInsensitiveAndTrimmed) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    WriteText(file,
              "; a comment\r\n[other]\r\nPath=/wrong\r\n  [ general ]  \r\n  path  =   /some folder/x  \r\n"
              "LOADALL = 12\r\nbad=x\r\n");
    TIniFile ini(file.string());
    EXPECT_EQ(ini.ReadString("GENERAL", "Path", ""), "/some folder/x");
    EXPECT_EQ(ini.ReadInteger("General", "loadall", 0), 12);
    EXPECT_TRUE(ini.ReadBool("General", "LoadAll", false));
    EXPECT_EQ(ini.ReadInteger("General", "bad", -3), -3);   // not a number
    EXPECT_FALSE(ini.ReadBool("General", "bad", false));
    EXPECT_FALSE(ini.ValueExists("General", "missing"));
    EXPECT_FALSE(ini.ValueExists("nosuch", "Path"));
}

TEST(IniFile, EmptyPathStillCountsAsPresent) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    WriteText(file, "[General]\nLoadAll=1\nPath=\n");
    TAppSettings s = ReadAppSettings(TIniFile(file.string()));
    EXPECT_TRUE(s.LoadAll);
    ASSERT_TRUE(s.Path.has_value());
    EXPECT_EQ(*s.Path, "");
}

TEST(IniFile, FirstWriteCreatesTheFileWithBothKeys) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    TIniFile ini(file.string());
    WriteAppSettings(ini, false, "");
    EXPECT_EQ(ReadText(file), "[General]\nLoadAll=0\nPath=\n");
    WriteAppSettings(ini, true, "/home/user/pics");
    EXPECT_EQ(ReadText(file), "[General]\nLoadAll=1\nPath=/home/user/pics\n");
    TAppSettings s = ReadAppSettings(ini);
    EXPECT_TRUE(s.LoadAll);
    EXPECT_EQ(s.Path.value_or("?"), "/home/user/pics");
}

TEST(IniFile, WriteKeepsEveryOtherLine) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    WriteText(file, "; keep me\n[Other]\nPath=/elsewhere\n\n[general]\nloadall=1\nExtra = yes\n\n[Last]\nk=v\n");
    TIniFile ini(file.string());
    ini.WriteString("General", "LoadAll", "0");
    ini.WriteString("General", "Path", "/p");
    EXPECT_EQ(ReadText(file),
              "; keep me\n[Other]\nPath=/elsewhere\n\n[general]\nLoadAll=0\nExtra = yes\nPath=/p\n\n[Last]\nk=v\n");
}

TEST(IniFile, ValuesThatLinesCannotHoldAsTheyStand) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    TIniFile ini(file.string());
    // Blanks at either end and enclosing quotes survive a round trip.
    for (const std::string path : {"/tmp/b ", " /lead", "\"/quoted\"", "/in\"side", "\"", "'/single'"}) {
        ini.WriteString("General", "Path", path);
        EXPECT_EQ(ini.ReadString("General", "Path", "?"), path);
    }
    WriteText(file, "[General]\nPath=\"/x \"\n");
    EXPECT_EQ(ini.ReadString("General", "Path", "?"), "/x ");
    // A hand-edited value in single quotes loses them too, as the profile functions do.
    WriteText(file, "[General]\nPath='/home/me/pics'\nOdd='x\"\n");
    EXPECT_EQ(ini.ReadString("General", "Path", "?"), "/home/me/pics");
    EXPECT_EQ(ini.ReadString("General", "Odd", "?"), "'x\"");

    // A line break would start a section of its own: refused, the file as it was.
    ini.WriteString("General", "Path", "/ok");
    const std::string before = ReadText(file);
    EXPECT_THROW(ini.WriteString("General", "Path", "/tmp/a\n[Other]\nk=v"), EFCreateError);
    EXPECT_EQ(ReadText(file), before);
}

TEST(IniFile, UnreadableFileIsNotReplaced) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads every file";
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    WriteText(file, "[Other]\nkeep=me\n[General]\nLoadAll=1\nPath=/p\n");
    std::filesystem::permissions(file, std::filesystem::perms::none);
    TIniFile ini(file.string());
    EXPECT_FALSE(ReadAppSettings(ini).LoadAll);  // defaults
    EXPECT_THROW(WriteAppSettings(ini, true, "/x"), EFCreateError);
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(ReadText(file), "[Other]\nkeep=me\n[General]\nLoadAll=1\nPath=/p\n");
}

TEST(IniFile, OversizedFileIsNeitherReadNorReplaced) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    std::string big = "[General]\nLoadAll=1\n" + std::string(TIniFile::MaxFileBytes, ';');
    WriteText(file, big);
    TIniFile ini(file.string());
    EXPECT_FALSE(ReadAppSettings(ini).LoadAll);
    EXPECT_THROW(WriteAppSettings(ini, true, "/x"), EFCreateError);
    EXPECT_EQ(std::filesystem::file_size(file), big.size());
}

TEST(IniFile, FailedWriteLeavesTheOldFileIntact) {
    ScratchDir dir;
    auto file = dir / "pictolan.ini";
    const std::string old = "[General]\nLoadAll=1\nPath=/a/rather/long/path/that/is/kept/intact\n";
    WriteText(file, old);
    TIniFile ini(file.string());

    // A file size limit stands in for a full disk (it also binds root, unlike permissions).
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool raised = false;
    std::string message;
    try {
        WriteAppSettings(ini, false, "/a/new/path/that/does/not/fit");
    } catch (const EFCreateError& e) {
        raised = true;
        message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_TRUE(raised);
    EXPECT_NE(message.find("Cannot create file \"" + file.string() + "\""), std::string::npos) << message;
    EXPECT_EQ(ReadText(file), old);
    // No temporary file is left behind.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1);
}

}  // namespace
