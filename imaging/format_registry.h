// The format registry: which graphic class reads which file extension. One instance,
// FileFormats, is filled at start-up and hands every registration on to the picture container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graphic.h"

// Kinds of content a format carries; stored for callers, never consulted by the registry.
enum TFormatKind : uint8_t { fkLayered = 1 << 1, fkMultiImage = 1 << 2, fkRaster = 1 << 3, fkVector = 1 << 4 };
using TFormatKinds = uint8_t;

struct TFormatClassRec {
    const TGraphicClass* ReaderClass = nullptr;
    std::string ClassDescription;
    int32_t UseCount = 0;
};

struct TFormatExtRec {
    std::string Extension;  // lower case, no dot, as registered
    std::string Description;
    TFormatKinds FormatKinds = 0;
    TFormatClassRec* ClassRec = nullptr;
};

class TFileFormatList {
public:
    TFileFormatList() = default;
    ~TFileFormatList();
    TFileFormatList(const TFileFormatList&) = delete;
    TFileFormatList& operator=(const TFileFormatList&) = delete;

    void Clear();
    int IndexOfExtension(const std::string& extension) const;
    int IndexOfClass(const TGraphicClass* readerClass) const;
    void ListExtensions(std::vector<std::string>& strings) const;
    void RegisterFormat(const std::string& extension, const std::string& classDescription,
                        const std::string& description, TFormatKinds formatKinds, bool replace,
                        const TGraphicClass* readerClass);
    void UnregisterFormat(const std::string& extension, const TGraphicClass* readerClass);

    const std::vector<std::unique_ptr<TFormatClassRec>>& Classes() const { return FClassList; }
    const std::vector<std::unique_ptr<TFormatExtRec>>& Extensions() const { return FExtensionList; }

private:
    void BindToClass(TFormatExtRec& rec, const std::string& classDescription, const TGraphicClass* readerClass);
    void DropClassRecord(TFormatClassRec* rec);

    std::vector<std::unique_ptr<TFormatClassRec>> FClassList;
    std::vector<std::unique_ptr<TFormatExtRec>> FExtensionList;
};

// The program's one registry; null before InitializeFileFormats and after FinalizeFileFormats.
extern TFileFormatList* FileFormats;

// Creates FileFormats and registers the start-up table (a second call does nothing).
void InitializeFileFormats();
// Runs the shutdown sequence and frees FileFormats (a second call does nothing).
void FinalizeFileFormats();
