#include "format_registry.h"

#include <algorithm>

#include "bitmap.h"
#include "exceptions.h"
#include "formats/autodesk.h"
#include "formats/cut.h"
#include "formats/eps.h"
#include "formats/icon.h"
#include "image_graphic.h"
#include "formats/jpeg_image.h"
#include "metafile/metafile.h"
#include "formats/pcx.h"
#include "picture.h"
#include "formats/pcd.h"
#include "formats/png_graphic.h"
#include "formats/psp.h"
#include "formats/psd.h"
#include "formats/rla.h"
#include "formats/sgi.h"
#include "formats/ppm.h"
#include "strutils.h"
#include "formats/targa.h"
#include "formats/tiff.h"

TFileFormatList* FileFormats = nullptr;

TFileFormatList::~TFileFormatList() { Clear(); }

void TFileFormatList::Clear() {
    for (const auto& rec : FClassList) TPicture::UnregisterGraphicClass(rec->ReaderClass);
    FClassList.clear();
    FExtensionList.clear();
}

int TFileFormatList::IndexOfExtension(const std::string& extension) const {
    if (extension.empty()) return -1;
    for (size_t i = 0; i < FExtensionList.size(); ++i)
        if (SameTextAscii(FExtensionList[i]->Extension, extension)) return static_cast<int>(i);
    return -1;
}

int TFileFormatList::IndexOfClass(const TGraphicClass* readerClass) const {
    for (size_t i = 0; i < FClassList.size(); ++i)
        if (FClassList[i]->ReaderClass == readerClass) return static_cast<int>(i);
    return -1;
}

void TFileFormatList::ListExtensions(std::vector<std::string>& strings) const {
    strings.clear();
    for (const auto& rec : FExtensionList) strings.push_back(rec->Extension);
}

void TFileFormatList::BindToClass(TFormatExtRec& rec, const std::string& classDescription,
                                  const TGraphicClass* readerClass) {
    int index = IndexOfClass(readerClass);
    TFormatClassRec* classRec;
    if (index < 0) {
        FClassList.push_back(std::make_unique<TFormatClassRec>());
        classRec = FClassList.back().get();
        classRec->ReaderClass = readerClass;
    } else {
        classRec = FClassList[static_cast<size_t>(index)].get();
    }
    if (!classDescription.empty()) classRec->ClassDescription = classDescription;
    classRec->UseCount++;
    rec.ClassRec = classRec;
}

void TFileFormatList::DropClassRecord(TFormatClassRec* rec) {
    TPicture::UnregisterGraphicClass(rec->ReaderClass);
    std::erase_if(FClassList, [&](const auto& p) { return p.get() == rec; });
}

void TFileFormatList::RegisterFormat(const std::string& extension, const std::string& classDescription,
                                     const std::string& description, TFormatKinds formatKinds, bool replace,
                                     const TGraphicClass* readerClass) {
    if (extension.empty()) return;
    int index = IndexOfExtension(extension);
    TFormatExtRec* rec;
    if (index < 0) {
        FExtensionList.push_back(std::make_unique<TFormatExtRec>());
        rec = FExtensionList.back().get();
        rec->Extension = AsciiLower(extension);
        rec->Description = description;
        rec->FormatKinds = formatKinds;
        BindToClass(*rec, classDescription, readerClass);
    } else {
        if (!replace) GraphicErrorFmt(gesRegistration, extension);
        rec = FExtensionList[static_cast<size_t>(index)].get();
        TFormatClassRec* old = rec->ClassRec;
        if (old->ReaderClass != readerClass) {
            BindToClass(*rec, classDescription, readerClass);
            // A class the registry no longer lists is taken from the picture too, so that no
            // older entry of it can resurface once the new class is unregistered.
            if (--old->UseCount == 0) DropClassRecord(old);
        }
    }
    // The description passed now, even where a replaced record keeps its old one.
    const std::string& handed = description.empty() ? rec->ClassRec->ClassDescription : description;
    TPicture::RegisterFileFormat(rec->Extension, handed, readerClass);
}

void TFileFormatList::UnregisterFormat(const std::string& extension, const TGraphicClass* readerClass) {
    if (!extension.empty()) {
        int index = IndexOfExtension(extension);
        if (index < 0) return;
        TFormatClassRec* classRec = FExtensionList[static_cast<size_t>(index)]->ClassRec;
        FExtensionList.erase(FExtensionList.begin() + index);
        if (--classRec->UseCount == 0) DropClassRecord(classRec);
        return;
    }
    // Every extension of the class. A class that was never registered has nothing to remove.
    int classIndex = IndexOfClass(readerClass);
    if (classIndex < 0) return;
    TFormatClassRec* classRec = FClassList[static_cast<size_t>(classIndex)].get();
    for (size_t i = FExtensionList.size(); i-- > 0 && classRec->UseCount > 0;) {
        if (FExtensionList[i]->ClassRec != classRec) continue;
        classRec->UseCount--;
        FExtensionList.erase(FExtensionList.begin() + static_cast<std::ptrdiff_t>(i));
    }
    DropClassRecord(classRec);
}

namespace {
struct TStartupRow {
    const char* Extension;
    const char* ClassDescription;
    const char* Description;
    TFormatKinds Kinds;
    const TGraphicClass* ReaderClass;  // null: the reader is not part of the program yet
};

// The start-up registrations, in order. A reader that is added to the program puts its class
// into its rows here (and, for the readers, into the shutdown list below).
const TStartupRow StartupRows[] = {
    {"bmp", "Windows bitmaps", "", 8, &TBitmap::Class},
    {"ico", "Windows icons", "", 8, &TIcon::Class},
    {"wmf", "Windows metafiles", "", 16, &TMetafile::Class},
    {"emf", "Windows metafiles", "Windows enhanced meta files", 16, &TMetafile::Class},
    {"jfif", "JPG images", "JFIF images", 8, &TJPEGImage::Class},
    {"jpg", "", "JPG images", 8, &TJPEGImage::Class},
    {"jpe", "", "JPE images", 8, &TJPEGImage::Class},
    {"jpeg", "", "JPEG images", 8, &TJPEGImage::Class},
    {"rle", "Windows bitmaps", "Run length encoded Windows bitmaps", 8, &TBitmap::Class},
    {"dib", "", "Device independant Windows bitmaps", 8, &TBitmap::Class},
    {"win", "Truevision images", "", 8, &TTargaGraphic::Class},
    {"vst", "", "", 8, &TTargaGraphic::Class},
    {"vda", "", "", 8, &TTargaGraphic::Class},
    {"tga", "", "", 8, &TTargaGraphic::Class},
    {"icb", "", "", 8, &TTargaGraphic::Class},
    {"tiff", "Tagged image file format images", "Macintosh TIFF images", 12, &TTIFFGraphic::Class},
    {"tif", "", "PC TIF images", 12, &TTIFFGraphic::Class},
    {"fax", "", "GFI fax images", 12, &TTIFFGraphic::Class},
    {"eps", "Encapsulated Postscript images", "", 8, &TEPSGraphic::Class},
    {"pcx", "ZSoft Paintbrush images", "", 8, &TPCXGraphic::Class},
    {"pcc", "", "", 8, &TPCXGraphic::Class},
    {"scr", "", "Word 5.x screen capture images", 8, &TPCXGraphic::Class},
    {"rpf", "Alias/Wavefront images", "", 8, &TRLAGraphic::Class},
    {"rla", "", "", 8, &TRLAGraphic::Class},
    {"sgi", "SGI images", "SGI true color images", 8, &TSGIGraphic::Class},
    {"rgba", "", "SGI true color images with alpha", 8, &TSGIGraphic::Class},
    {"rgb", "", "SGI true color images", 8, &TSGIGraphic::Class},
    {"bw", "", "SGI black/white images", 8, &TSGIGraphic::Class},
    {"psd", "Photoshop images", "", 10, &TPSDGraphic::Class},
    {"pdd", "", "", 10, &TPSDGraphic::Class},
    {"ppm", "Portable map images", "Portable pixel map images", 8, &TPPMGraphic::Class},
    {"pgm", "", "Portable gray map images", 8, &TPPMGraphic::Class},
    {"pbm", "", "Portable bitmap images", 8, &TPPMGraphic::Class},
    {"cel", "Autodesk images", "", 8, &TAutodeskGraphic::Class},
    {"pic", "Autodesk images", "", 8, &TAutodeskGraphic::Class},
    {"pcd", "Kodak Photo-CD images", "", 8, &TPCDGraphic::Class},
    {"cut", "Dr. Halo images", "", 8, &TCUTGraphic::Class},
    {"psp", "Paintshop Pro images", "", 24, &TPSPGraphic::Class},
    {"png", "Portable network graphic images", "", 8, &TPNGGraphic::Class},
};

// Readers unregistered class by class at shutdown, in this order (null entries are skipped):
// TPSPGraphic, TPSDGraphic, TTargaGraphic, TTIFFGraphic, TSGIGraphic, TPCXGraphic,
// TAutodeskGraphic, TPCDGraphic, TPPMGraphic, TCUTGraphic, TRLAGraphic.
const TGraphicClass* const ShutdownReaders[] = {
    &TPSPGraphic::Class, &TPSDGraphic::Class, &TTargaGraphic::Class,
    &TTIFFGraphic::Class, &TSGIGraphic::Class, &TPCXGraphic::Class,
    &TAutodeskGraphic::Class, &TPCDGraphic::Class, &TPPMGraphic::Class,
    &TCUTGraphic::Class,    &TRLAGraphic::Class,
};
const TGraphicClass* const ShutdownPNG = &TPNGGraphic::Class;
}  // namespace

void InitializeFileFormats() {
    if (FileFormats != nullptr) return;
    auto list = std::make_unique<TFileFormatList>();
    for (const TStartupRow& row : StartupRows)
        if (row.ReaderClass != nullptr)
            list->RegisterFormat(row.Extension, row.ClassDescription, row.Description, row.Kinds, false,
                                 row.ReaderClass);
    FileFormats = list.release();
}

void FinalizeFileFormats() {
    if (FileFormats == nullptr) return;
    for (const TGraphicClass* cls : ShutdownReaders)
        if (cls != nullptr) FileFormats->UnregisterFormat("", cls);
    FileFormats->UnregisterFormat("rle", &TBitmap::Class);
    FileFormats->UnregisterFormat("dib", &TBitmap::Class);
    FileFormats->UnregisterFormat("", ShutdownPNG);
    delete FileFormats;
    FileFormats = nullptr;
}
