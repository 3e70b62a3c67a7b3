#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "browser_list.h"
#include "fake_images.h"
#include "format_registry.h"
#include "test_support.h"

using testsupport::ScratchDir;

namespace {

std::vector<std::string> RegisteredAccepted() {
    RegisterFakeFormats();
    std::vector<std::string> registered;
    FileFormats->ListExtensions(registered);
    return BuildAcceptedExtensions(registered);
}

void Touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

std::vector<std::string> Names(const TBrowserList& list) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < list.Count(); ++i) names.push_back(list.Entry(i).Name);
    return names;
}

TEST(FolderScan, ListsMatchingFilesInCaseInsensitiveOrder) {
    ScratchDir dir;
    for (const char* name : {"c.Bmp", "a.BMP", "b.bmp", "t.vtf", "T.VTF", "noext", "dot.", "notes.txt", "C.png",
                             "A.png", "b.png"})
        Touch(dir / name);
    std::filesystem::create_directory(dir / "y.png");

    TBrowserList list;
    std::vector<std::string> status;
    TScanHooks hooks;
    hooks.SetStatus = [&](const std::string& s) { status.push_back(s); };
    ASSERT_TRUE(list.ScanFolder(dir.Path().string(), RegisteredAccepted(), hooks));

    EXPECT_EQ(Names(list), (std::vector<std::string>{"a.BMP", "A.png", "b.bmp", "b.png", "c.Bmp", "C.png", "t.vtf"}));
    ASSERT_EQ(status.size(), 7u);  // one message per accepted entry
    EXPECT_EQ(status.back(), "7 images found \\ 0 loaded");
    for (int32_t i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(list.Entry(i).FullPath, (dir / list.Entry(i).Name).string());
        EXPECT_FALSE(list.Entry(i).Loaded);
        EXPECT_FALSE(list.Entry(i).Thumbnail);
    }
}

TEST(FolderScan, FolderWithMoreThanTheDirectoryAttributeGoesThroughTheNameTest) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "plain.png");   // attributes exactly "directory"
    std::filesystem::create_directory(dir / ".hidden.png"); // directory + hidden
    EXPECT_EQ(FileAttributesOf((dir / "plain.png").string(), "plain.png"), 16);
    EXPECT_EQ(FileAttributesOf((dir / ".hidden.png").string(), ".hidden.png"), 18);

    // A link to nothing is an entry all the same (its thumbnail will fail).
    std::filesystem::create_symlink(dir / "gone.bmp", dir / "broken.bmp");
    EXPECT_EQ(FileAttributesOf((dir / "broken.bmp").string(), "broken.bmp"), 0);

    TBrowserList list;
    ASSERT_TRUE(list.ScanFolder(dir.Path().string(), RegisteredAccepted(), {}));
    EXPECT_EQ(Names(list), (std::vector<std::string>{".hidden.png", "broken.bmp"}));
}

// In a folder the user may list but not search, nothing but the names can be read: the files
// are listed all the same (their thumbnails fail) and sub-folders are still skipped. The scan
// runs in a child process that drops root's rights, which would otherwise search anything.
TEST(FolderScan, EntriesThatCannotBeExaminedAreListedByTheirKind) {
    ScratchDir dir;
    const auto folder = dir / "listable";
    std::filesystem::create_directory(folder);
    Touch(folder / "a.bmp");
    Touch(folder / "b.png");
    std::filesystem::create_directory(folder / "sub.png");
    ::chmod(folder.c_str(), 0744);  // read for all, search for the owner only
    const std::vector<std::string> accepted = RegisteredAccepted();

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
        if (::geteuid() != 0) ::chmod(folder.c_str(), 0444);  // not root: take our own search right
        TBrowserList list;
        std::string status;
        TScanHooks hooks;
        hooks.SetStatus = [&](const std::string& s) { status = s; };
        list.ScanFolder(folder.string(), accepted, hooks);
        const bool listed = Names(list) == std::vector<std::string>{"a.bmp", "b.png"} &&
                            status == "2 images found \\ 0 loaded";
        ::_exit(listed ? 0 : 1);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ::chmod(folder.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(wstatus));
    ASSERT_NE(WEXITSTATUS(wstatus), 90) << "could not drop root's rights";
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "the files were not listed with their status text";
}

TEST(FolderScan, MissingFolderGivesAnEmptyListAndLeavesTheStatus) {
    TBrowserList list;
    bool statusSet = false;
    TScanHooks hooks;
    hooks.SetStatus = [&](const std::string&) { statusSet = true; };
    EXPECT_TRUE(list.ScanFolder("/nonexistent/folder/for/pictolan", RegisteredAccepted(), hooks));
    EXPECT_TRUE(list.ScanFolder("", RegisteredAccepted(), hooks));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(statusSet);
}

TEST(FolderScan, ScanStartedFromAHookReplacesTheOuterOne) {
    ScratchDir outer, inner;
    for (const char* n : {"1.bmp", "2.bmp", "3.bmp"}) Touch(outer / n);
    Touch(inner / "only.bmp");
    auto accepted = RegisteredAccepted();
    TBrowserList list;
    bool nested = false;
    TScanHooks hooks;
    hooks.EntryAdded = [&](int32_t) {
        if (nested) return;
        nested = true;
        ASSERT_TRUE(list.ScanFolder(inner.Path().string(), accepted, {}));
    };
    EXPECT_FALSE(list.ScanFolder(outer.Path().string(), accepted, hooks));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"only.bmp"}));
}

TEST(BrowserSelection, ClickRules) {
    TBrowserList list;
    for (int i = 0; i < 4; ++i) list.Add(std::make_unique<TFileEntry>());
    auto selected = [&] {
        std::string s;
        for (int32_t i = 0; i < list.Count(); ++i) s += list.Entry(i).Selected ? '1' : '0';
        return s;
    };
    list.ApplyClickSelection(1, false, false);
    EXPECT_EQ(selected(), "0100");
    list.ApplyClickSelection(3, true, false);  // Shift adds
    EXPECT_EQ(selected(), "0101");
    list.ApplyClickSelection(1, false, true);  // Ctrl toggles off
    EXPECT_EQ(selected(), "0001");
    list.ApplyClickSelection(2, false, true);  // and on
    EXPECT_EQ(selected(), "0011");
    list.ApplyClickSelection(0, true, true);   // both: no change
    EXPECT_EQ(selected(), "0011");
    list.ApplyClickSelection(0, false, false); // plain click: exactly one
    EXPECT_EQ(selected(), "1000");
}

TEST(BrowserSelection, SortKeepsTheCurrentEntryCurrent) {
    TBrowserList list;
    for (const char* n : {"c", "a", "b"}) {
        auto e = std::make_unique<TFileEntry>();
        e->Name = n;
        list.Add(std::move(e));
    }
    list.SetCurrent(0);  // "c"
    list.SortByName();
    EXPECT_EQ(list.CurrentIndex(), 2);
    EXPECT_EQ(list.CurrentEntry()->Name, "c");
}

}  // namespace
