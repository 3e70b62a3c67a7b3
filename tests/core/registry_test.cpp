#include <gtest/gtest.h>

#include <algorithm>

#include <map>

#include "bitmap.h"
#include "exceptions.h"
#include "format_registry.h"
#include "picture.h"

namespace {

// Two stand-in reader classes, so that the registry's bookkeeping can be checked on its own.
class TFakeA : public TBitmap {
    DECLARE_GRAPHIC_CLASS()
};
class TFakeB : public TBitmap {
    DECLARE_GRAPHIC_CLASS()
};
const TGraphicClass TFakeA::Class = {"TFakeA", [] { return std::unique_ptr<TGraphic>(new TFakeA); }};
const TGraphicClass TFakeB::Class = {"TFakeB", [] { return std::unique_ptr<TGraphic>(new TFakeB); }};

struct Row {
    const char* Extension;
    const char* Handed;  // description handed to the picture container
    const char* ClassName;
};

// The whole start-up table in order; readers not yet in the program are simply absent.
const Row ExpectedRows[] = {
    {"bmp", "Windows bitmaps", "TBitmap"},
    {"ico", "Windows icons", "TIcon"},
    {"wmf", "Windows metafiles", "TMetafile"},
    {"emf", "Windows enhanced meta files", "TMetafile"},
    {"jfif", "JFIF images", "TJPEGImage"},
    {"jpg", "JPG images", "TJPEGImage"},
    {"jpe", "JPE images", "TJPEGImage"},
    {"jpeg", "JPEG images", "TJPEGImage"},
    {"rle", "Run length encoded Windows bitmaps", "TBitmap"},
    {"dib", "Device independant Windows bitmaps", "TBitmap"},
    {"win", "Truevision images", "TTargaGraphic"},
    {"vst", "Truevision images", "TTargaGraphic"},
    {"vda", "Truevision images", "TTargaGraphic"},
    {"tga", "Truevision images", "TTargaGraphic"},
    {"icb", "Truevision images", "TTargaGraphic"},
    {"tiff", "Macintosh TIFF images", "TTIFFGraphic"},
    {"tif", "PC TIF images", "TTIFFGraphic"},
    {"fax", "GFI fax images", "TTIFFGraphic"},
    {"eps", "Encapsulated Postscript images", "TEPSGraphic"},
    {"pcx", "ZSoft Paintbrush images", "TPCXGraphic"},
    {"pcc", "ZSoft Paintbrush images", "TPCXGraphic"},
    {"scr", "Word 5.x screen capture images", "TPCXGraphic"},
    {"rpf", "Alias/Wavefront images", "TRLAGraphic"},
    {"rla", "Alias/Wavefront images", "TRLAGraphic"},
    {"sgi", "SGI true color images", "TSGIGraphic"},
    {"rgba", "SGI true color images with alpha", "TSGIGraphic"},
    {"rgb", "SGI true color images", "TSGIGraphic"},
    {"bw", "SGI black/white images", "TSGIGraphic"},
    {"psd", "Photoshop images", "TPSDGraphic"},
    {"pdd", "Photoshop images", "TPSDGraphic"},
    {"ppm", "Portable pixel map images", "TPPMGraphic"},
    {"pgm", "Portable gray map images", "TPPMGraphic"},
    {"pbm", "Portable bitmap images", "TPPMGraphic"},
    {"cel", "Autodesk images", "TAutodeskGraphic"},
    {"pic", "Autodesk images", "TAutodeskGraphic"},
    {"pcd", "Kodak Photo-CD images", "TPCDGraphic"},
    {"cut", "Dr. Halo images", "TCUTGraphic"},
    {"psp", "Paintshop Pro images", "TPSPGraphic"},
    {"png", "Portable network graphic images", "TPNGGraphic"},
};

class StartupRegistry : public ::testing::Test {
protected:
    void SetUp() override { InitializeFileFormats(); }
    void TearDown() override { FinalizeFileFormats(); }
};

}  // namespace

TEST_F(StartupRegistry, ListsTheTableInOrderWithWholeClasses) {
    InitializeFileFormats();  // a second initialisation changes nothing
    std::vector<std::string> list = {"stale"};
    FileFormats->ListExtensions(list);
    ASSERT_GE(list.size(), 10u);

    std::map<std::string, int> classRows, classRegistered;
    for (const Row& r : ExpectedRows) classRows[r.ClassName]++;
    size_t next = 0;
    const auto& picture = TPicture::RegisteredFormats();
    ASSERT_EQ(picture.size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        while (next < std::size(ExpectedRows) && list[i] != ExpectedRows[next].Extension) ++next;
        ASSERT_LT(next, std::size(ExpectedRows)) << "unexpected or misplaced extension " << list[i];
        const Row& r = ExpectedRows[next];
        EXPECT_EQ(picture[i].Extension, r.Extension);
        EXPECT_EQ(picture[i].Description, r.Handed) << r.Extension;
        EXPECT_STREQ(picture[i].GraphicClass->ClassName, r.ClassName);
        classRegistered[r.ClassName]++;
    }
    // The platform's own classes are always there, and a reader registers all its rows or none.
    for (const char* name : {"TBitmap", "TIcon", "TMetafile", "TJPEGImage"}) EXPECT_EQ(classRegistered[name], classRows[name]);
    for (const auto& [name, count] : classRegistered) EXPECT_EQ(count, classRows[name]) << name;
}

TEST_F(StartupRegistry, LookupIsCaseInsensitiveAndEmptyFindsNothing) {
    EXPECT_EQ(FileFormats->IndexOfExtension("BMP"), 0);
    EXPECT_EQ(FileFormats->IndexOfExtension("Jpeg"), 7);
    EXPECT_EQ(FileFormats->IndexOfExtension(""), -1);
    EXPECT_EQ(FileFormats->IndexOfExtension("xyz"), -1);
    EXPECT_EQ(TPicture::FindGraphicClass("DIB"), &TBitmap::Class);
}

TEST_F(StartupRegistry, SecondRegistrationRaisesWithTheExtensionAsPassed) {
    std::vector<std::string> before;
    FileFormats->ListExtensions(before);
    try {
        FileFormats->RegisterFormat("BmP", "x", "y", 8, false, &TFakeA::Class);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Attempt to register BmP twice.");
    }
    std::vector<std::string> after;
    FileFormats->ListExtensions(after);
    EXPECT_EQ(before, after);
    EXPECT_EQ(FileFormats->IndexOfClass(&TFakeA::Class), -1);
}

TEST_F(StartupRegistry, UnregisteringOneBitmapExtensionKeepsTheClass) {
    FileFormats->UnregisterFormat("rle", &TBitmap::Class);
    EXPECT_EQ(FileFormats->IndexOfExtension("rle"), -1);
    EXPECT_GE(FileFormats->IndexOfExtension("bmp"), 0);
    EXPECT_GE(FileFormats->IndexOfExtension("dib"), 0);
    EXPECT_EQ(TPicture::FindGraphicClass("bmp"), &TBitmap::Class);
    int c = FileFormats->IndexOfClass(&TBitmap::Class);
    ASSERT_GE(c, 0);
    EXPECT_EQ(FileFormats->Classes()[static_cast<size_t>(c)]->UseCount, 2);
    FileFormats->UnregisterFormat("nothing", &TBitmap::Class);  // silently ignored
}

TEST(FormatRegistry, ClassRecordsCountTheirExtensions) {
    TFileFormatList list;
    list.RegisterFormat("aaa", "Fake A images", "", 8, false, &TFakeA::Class);
    list.RegisterFormat("aab", "", "Second", 8, false, &TFakeA::Class);
    list.RegisterFormat("bbb", "", "", 8, false, &TFakeB::Class);
    list.RegisterFormat("", "ignored", "", 8, false, &TFakeB::Class);  // empty: nothing
    ASSERT_EQ(list.Classes().size(), 2u);
    EXPECT_EQ(list.Classes()[0]->UseCount, 2);
    EXPECT_EQ(list.Classes()[0]->ClassDescription, "Fake A images");
    EXPECT_EQ(list.Extensions().size(), 3u);
    EXPECT_EQ(TPicture::FindGraphicClass("AAB"), &TFakeA::Class);

    // Replace binds the extension to the new class and drops the old record when unused.
    list.RegisterFormat("bbb", "Fake B as A", "", 8, true, &TFakeA::Class);
    EXPECT_EQ(list.IndexOfClass(&TFakeB::Class), -1);
    EXPECT_EQ(list.Classes()[0]->UseCount, 3);
    EXPECT_EQ(list.Classes()[0]->ClassDescription, "Fake B as A");
    EXPECT_EQ(TPicture::FindGraphicClass("bbb"), &TFakeA::Class);
    // The picture gets the description passed; the record keeps its own.
    list.RegisterFormat("AAB", "", "New words", 8, true, &TFakeA::Class);
    EXPECT_EQ(list.Extensions()[1]->Description, "Second");
    auto entry = std::find_if(TPicture::RegisteredFormats().rbegin(), TPicture::RegisteredFormats().rend(),
                              [](const auto& f) { return f.Extension == "aab"; });  // the newest
    ASSERT_NE(entry, TPicture::RegisteredFormats().rend());
    EXPECT_EQ(entry->Description, "New words");

    // An empty extension removes every extension of the class and the class itself.
    list.UnregisterFormat("", &TFakeA::Class);
    EXPECT_TRUE(list.Extensions().empty());
    EXPECT_TRUE(list.Classes().empty());
    EXPECT_EQ(TPicture::FindGraphicClass("aaa"), nullptr);
    list.UnregisterFormat("", &TFakeB::Class);  // never registered: nothing happens
}

TEST(FormatRegistry, UnregisteringTheLastExtensionRemovesTheClassFromThePicture) {
    TFileFormatList list;
    list.RegisterFormat("zz1", "Z", "", 8, false, &TFakeB::Class);
    list.RegisterFormat("zz2", "", "", 8, false, &TFakeB::Class);
    list.UnregisterFormat("zz1", &TFakeB::Class);
    // The picture keeps the extension's entry while the class stays registered there.
    EXPECT_EQ(TPicture::FindGraphicClass("zz1"), &TFakeB::Class);
    list.UnregisterFormat("zz2", &TFakeB::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("zz2"), nullptr);
    EXPECT_EQ(list.IndexOfClass(&TFakeB::Class), -1);
}

TEST(Picture, UnknownExtensionIsReportedWithItsDot) {
    InitializeFileFormats();
    TPicture p;
    try {
        p.LoadFromFile("/nowhere/file.xyz");
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Unknown picture file extension (.xyz)");
    }
    try {
        p.LoadFromFile("/nowhere/noext");
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Unknown picture file extension (.)");
    }
    FinalizeFileFormats();
    EXPECT_EQ(FileFormats, nullptr);
    EXPECT_TRUE(TPicture::RegisteredFormats().empty());
}
