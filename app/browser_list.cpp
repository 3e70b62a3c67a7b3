#include "browser_list.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "strutils.h"

namespace {

constexpr int32_t faReadOnly = 1;
constexpr int32_t faHidden = 2;
constexpr int32_t faDirectory = 16;
constexpr int32_t faArchive = 32;

bool LessText(const std::string& a, const std::string& b) { return CompareTextAscii(a, b) < 0; }

// Closes the listing also when a hook raises.
struct DirCloser {
    DIR* Dir;
    ~DirCloser() {
        if (Dir) ::closedir(Dir);
    }
};

}  // namespace

std::vector<std::string> BuildAcceptedExtensions(const std::vector<std::string>& registered) {
    std::vector<std::string> accepted;
    accepted.reserve(registered.size());
    for (const auto& ext : registered) accepted.push_back("." + AsciiUpper(ext));
    std::sort(accepted.begin(), accepted.end(), LessText);
    return accepted;
}

bool IsAcceptedFileName(const std::string& name, const std::vector<std::string>& accepted) {
    std::string ext = ExtractFileExt(name);
    if (ext.empty()) return false;
    if (ext == ".vtf") return true;
    return std::binary_search(accepted.begin(), accepted.end(), ext, LessText);
}

int32_t FileAttributesOf(const std::string& fullPath, const std::string& name, unsigned char listedType) {
    int32_t attr = 0;
    if (!name.empty() && name[0] == '.') attr |= faHidden;
    struct stat st {};
    // A link whose target is gone is still an entry of the folder: it is listed by the link's
    // own attributes, and its thumbnail then fails like any unreadable file's.
    if (::stat(fullPath.c_str(), &st) != 0 && ::lstat(fullPath.c_str(), &st) != 0) {
        // Nothing can be learnt of the entry (a folder the user may list but not search): the
        // listing itself still tells a folder from a file, and a file is listed so that its
        // thumbnail fails as any unreadable file's does.
        return attr | (listedType == DT_DIR ? faDirectory : faArchive);
    }
    if (S_ISDIR(st.st_mode)) attr |= faDirectory;
    if (S_ISREG(st.st_mode)) attr |= faArchive;
    if ((st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
    return attr;
}

void TBrowserList::ClearFiles() {
    FFiles.clear();
    FCurrentIndex = -1;
    FCurrentEntry = nullptr;
    FViewerLoaded = false;
    FInfoLoaded = false;
    ++FGeneration;
}

TFileEntry& TBrowserList::Add(std::unique_ptr<TFileEntry> entry) {
    FFiles.push_back(std::move(entry));
    return *FFiles.back();
}

bool TBrowserList::ScanFolder(const std::string& path, const std::vector<std::string>& accepted,
                              const TScanHooks& hooks) {
    ClearFiles();
    FLoadedCount = 0;
    const uint64_t generation = FGeneration;
    if (path.empty()) return true;
    const std::string folder = AppendBackslash(path);

    DirCloser listing{::opendir(folder.c_str())};
    if (!listing.Dir) return true;

    int32_t found = 0;
    while (dirent* d = ::readdir(listing.Dir)) {
        std::string name = d->d_name;
        // The extension test is cheap and rejects most entries, so the attributes (a stat
        // call) are only fetched for names that pass it; the outcome is the same.
        if (!IsAcceptedFileName(name, accepted)) continue;
        std::string fullPath = folder + name;
        int32_t attr = FileAttributesOf(fullPath, name, d->d_type);
        if (attr == faDirectory) continue;

        auto entry = std::make_unique<TFileEntry>();
        entry->Name = name;
        entry->FullPath = fullPath;
        if (hooks.LoadAll && hooks.MakeThumbnail) {
            hooks.MakeThumbnail(*entry);
            if (FGeneration != generation) return false;
        }
        Add(std::move(entry));
        if (hooks.EntryAdded) {
            hooks.EntryAdded(found);
            if (FGeneration != generation) return false;
        }
        ++found;
        if (hooks.SetStatus) hooks.SetStatus(ScanStatusText(found, FLoadedCount));
    }
    SortByName();
    return true;
}

std::string TBrowserList::SetCurrent(int32_t index) {
    FCurrentIndex = index;
    FCurrentEntry = &Entry(index);
    FViewerLoaded = false;
    FInfoLoaded = false;
    return FCurrentEntry->Name;
}

void TBrowserList::ClearSelection() {
    for (auto& e : FFiles) e->Selected = false;
}

void TBrowserList::ApplyClickSelection(int32_t index, bool shift, bool ctrl) {
    TFileEntry& e = Entry(index);
    if (!shift && !ctrl) {
        ClearSelection();
        e.Selected = true;
    } else if (shift && !ctrl) {
        e.Selected = true;
    } else if (ctrl && !shift) {
        e.Selected = !e.Selected;
    }
}

void TBrowserList::SortByName() {
    std::stable_sort(FFiles.begin(), FFiles.end(),
                     [](const auto& a, const auto& b) { return CompareTextAscii(a->Name, b->Name) < 0; });
    // The current entry keeps its record; its index follows it.
    if (FCurrentEntry) {
        for (int32_t i = 0; i < Count(); ++i)
            if (FFiles[static_cast<size_t>(i)].get() == FCurrentEntry && FCurrentIndex != -1) FCurrentIndex = i;
    }
}

std::string ScanStatusText(int32_t found, int32_t loaded) {
    return std::to_string(found) + " images found \\ " + std::to_string(loaded) + " loaded";
}
