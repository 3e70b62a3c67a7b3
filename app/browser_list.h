// The browser list: one record per image or texture file of the scanned folder, the current
// entry, the multi-selection, and the folder scan that rebuilds it. No widgets: the main window
// calls it and supplies repaints, thumbnails and the status text through hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"

struct TFileEntry {
    std::string Name;      // as the directory listing gives it
    std::string FullPath;  // scanned folder with its trailing delimiter, then Name
    std::unique_ptr<TBitmap> Thumbnail;
    bool Loaded = false;
    bool Selected = false;
    // Why the last attempt at the thumbnail failed; empty while none has failed.
    std::string LoadError;
};

// Sorted, upper-cased, dotted extensions (".BMP", ".JPG", ...) of every registered format.
std::vector<std::string> BuildAcceptedExtensions(const std::vector<std::string>& registered);
// The listing's extension test: a registered extension in any case, or ".vtf" exactly.
bool IsAcceptedFileName(const std::string& name, const std::vector<std::string>& accepted);
// Windows-style attributes of a folder entry: directory 16, read-only 1, hidden 2, archive 32.
// listedType is the kind the directory listing gave (its d_type; 0 when unknown), used when the
// entry itself cannot be examined.
int32_t FileAttributesOf(const std::string& fullPath, const std::string& name, unsigned char listedType = 0);

struct TScanHooks {
    bool LoadAll = false;
    std::function<void(TFileEntry&)> MakeThumbnail;
    // Asked after each accepted entry with the number accepted before it; the window repaints
    // at once while that entry's row still starts inside the panel.
    std::function<void(int32_t acceptedBefore)> EntryAdded;
    std::function<void(const std::string&)> SetStatus;
};

class TBrowserList {
public:
    int32_t Count() const { return static_cast<int32_t>(FFiles.size()); }
    TFileEntry& Entry(int32_t index) { return *FFiles.at(static_cast<size_t>(index)); }
    const TFileEntry& Entry(int32_t index) const { return *FFiles.at(static_cast<size_t>(index)); }

    // Releases every entry. The current entry goes with them: after a rescan no entry is
    // current, so nothing can reach a released record.
    void ClearFiles();

    // Rebuilds the list from a folder (listing order, then sorted by name). Returns false when
    // a nested scan, started while this one handed control out through a hook, replaced the
    // list; the caller must then leave the list alone.
    bool ScanFolder(const std::string& path, const std::vector<std::string>& accepted, const TScanHooks& hooks);

    // Increases each time the list is rebuilt or cleared; lets a paint or scan that handed
    // control out notice that its entries are gone.
    uint64_t Generation() const { return FGeneration; }

    int32_t LoadedCount() const { return FLoadedCount; }
    int32_t& LoadedCounter() { return FLoadedCount; }

    int32_t CurrentIndex() const { return FCurrentIndex; }
    // The entry last made current; it can outlive a click that leaves no index current.
    TFileEntry* CurrentEntry() const { return FCurrentEntry; }
    // Makes an entry current and clears both page flags; returns the status text (its name).
    std::string SetCurrent(int32_t index);
    // A click beside every entry: no index is current, the entry and page flags stay.
    void DropCurrentIndex() { FCurrentIndex = -1; }

    bool ViewerLoaded() const { return FViewerLoaded; }
    bool InfoLoaded() const { return FInfoLoaded; }
    void SetViewerLoaded(bool v) { FViewerLoaded = v; }
    void SetInfoLoaded(bool v) { FInfoLoaded = v; }

    void ClearSelection();
    // Selection after a click on entry index: plain click selects it alone, Shift adds,
    // Ctrl toggles, both together change nothing.
    void ApplyClickSelection(int32_t index, bool shift, bool ctrl);

    // Sorts by Name, ASCII case-insensitively; equal names keep their listing order.
    void SortByName();

    // Appends an entry (the scan and tests use it).
    TFileEntry& Add(std::unique_ptr<TFileEntry> entry);

private:
    std::vector<std::unique_ptr<TFileEntry>> FFiles;
    int32_t FLoadedCount = 0;
    int32_t FCurrentIndex = -1;
    TFileEntry* FCurrentEntry = nullptr;
    bool FViewerLoaded = false;
    bool FInfoLoaded = false;
    uint64_t FGeneration = 0;
};

// "12 images found \ 3 loaded"
std::string ScanStatusText(int32_t found, int32_t loaded);
