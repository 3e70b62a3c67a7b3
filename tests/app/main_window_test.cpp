#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QFileSystemModel>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QEnterEvent>
#include <QTreeView>
#include <QHelpEvent>
#include <QMenu>
#include <QScrollArea>
#include <QSplitter>
#include <QTest>
#include <QToolTip>
#include <QWheelEvent>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <cstring>

#include "bitmap.h"
#include "bitmap_view.h"
#include "fake_images.h"
#include "pictolan_application.h"
#include "picture.h"
#include "streams.h"
#include "test_support.h"
#include "tolvan_drawpan.h"
#include "unitGcfTest.h"
#include "unitMain.h"
#include "vtf_builder.h"

using testsupport::ScratchDir;

namespace {

std::string ReadText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterFakeFormats();
        SetErrorSink([this](const std::string& m) { errors.push_back(m); });
    }
    void TearDown() override { SetErrorSink(nullptr); }

    std::string IniPath() const { return (settings / "pictolan.ini").string(); }

    std::unique_ptr<TfrmMain> Open() {
        auto form = std::make_unique<TfrmMain>(IniPath());
        form->resize(716, 523);
        form->Browser->setFixedSize(477, 400);
        return form;
    }

    // A folder of W x H fake images named img00.fake, img01.fake, ...
    void FillImages(int count, int w = 300, int h = 200) {
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "img%02d.fake", i);
            WriteFakeImage(images / name, w, h);
        }
    }

    // Paints the grid once, as showing the window would, so the hit test has its cache.
    static void Paint(TfrmMain& form) { (void)form.Browser->grab(); }

    // Runs the event loop until the workers have made every thumbnail asked for and the
    // window has taken them.
    static void WaitForThumbnails(TfrmMain& form) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (form.ThumbnailsPending() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        QCoreApplication::processEvents();
        ASSERT_FALSE(form.ThumbnailsPending());
    }

    static void Click(TfrmMain& form, int x, int y, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        form.BrowserMouseDown(Qt::LeftButton, mods, x, y);
    }

    ScratchDir settings;
    ScratchDir images;
    std::vector<std::string> errors;
};

TEST_F(MainWindowTest, FirstRunStartsEmptyAndWritesBothKeysAtExit) {
    {
        auto form = Open();
        EXPECT_FALSE(form->tbbtnLoadAll->isChecked());
        EXPECT_EQ(form->TreePath(), "");
        EXPECT_EQ(form->Page(), 0);
        EXPECT_EQ(form->NotebookPageName(), "Browser");
        EXPECT_EQ(form->NotebookCaption->text(), "Browser");
        EXPECT_TRUE(form->tbbtnBrowser->isChecked());
        EXPECT_EQ(form->Files().Count(), 0);
        EXPECT_EQ(form->windowTitle(), "Pictolan 1.01 beta");
        EXPECT_FALSE(std::filesystem::exists(IniPath()));
    }
    // The window's placement follows in a section of its own.
    EXPECT_EQ(ReadText(IniPath()).rfind("[General]\nLoadAll=0\nPath=\n\n[Window]\n", 0), 0u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, StoredSettingsAreAppliedAndWrittenBack) {
    FillImages(3);
    std::ofstream(IniPath()) << "[General]\nLoadAll=1\nPath=" << images.Path().string() << "\n";
    {
        auto form = Open();
        EXPECT_TRUE(form->tbbtnLoadAll->isChecked());
        EXPECT_EQ(form->TreePath(), images.Path().string());
        ASSERT_EQ(form->Files().Count(), 3);  // the tree's change ran the scan
        WaitForThumbnails(*form);
        EXPECT_EQ(form->Files().LoadedCount(), 3);
        EXPECT_EQ(form->StatusPanel->text(), "3 images found \\ 3 loaded");
    }
    EXPECT_EQ(ReadText(IniPath()).rfind("[General]\nLoadAll=1\nPath=" + images.Path().string() + "\n\n[Window]\n", 0), 0u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, UnresolvableStoredPathIsReportedAndStartUpGoesOn) {
    std::ofstream(IniPath()) << "[General]\nLoadAll=1\nPath=/no/such/folder\n";
    auto form = Open();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Error setting path: \"/no/such/folder\"");
    EXPECT_TRUE(form->tbbtnLoadAll->isChecked());
    EXPECT_EQ(form->Files().Count(), 0);
}

TEST_F(MainWindowTest, OnlyVisibleCellsGetThumbnails) {
    FillImages(60);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    ASSERT_EQ(form->Files().Count(), 60);
    Paint(*form);
    WaitForThumbnails(*form);
    // 4 columns; rows start at 5, 141 and 277 in a 400-pixel panel.
    int loaded = 0;
    for (int i = 0; i < form->Files().Count(); ++i) loaded += form->Files().Entry(i).Loaded ? 1 : 0;
    EXPECT_EQ(loaded, 12);
    EXPECT_TRUE(form->Files().Entry(11).Loaded);
    EXPECT_FALSE(form->Files().Entry(12).Loaded);
    EXPECT_EQ(form->VertScrollBar->maximum(), 15 * 136);
}

TEST_F(MainWindowTest, ResizeFollowsTheNewWidthAtOnce) {
    FillImages(60);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    // A hidden widget gets its resize event just before it is painted.
    form->Browser->setFixedSize(969, 400);  // 8 columns, resized before the first paint
    Paint(*form);
    EXPECT_EQ(form->VertScrollBar->maximum(), 7 * 136);
    form->Browser->setFixedSize(230, 400);  // 2 columns
    Paint(*form);
    EXPECT_EQ(form->VertScrollBar->maximum(), 30 * 136);
}

TEST_F(MainWindowTest, PaintDrawsThumbnailFrameAndBackground) {
    FillImages(1, 100, 100);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    WaitForThumbnails(*form);
    QImage shot = form->Browser->grab().toImage();
    // The fake image's pixel (x, y) is red x, green y; the thumbnail sits at (3, 8).
    EXPECT_EQ(shot.pixelColor(3 + 10, 8 + 20), QColor(10, 20, 7));
    // Right of the only cell: background in the button face colour.
    EXPECT_EQ(shot.pixelColor(300, 50), form->Browser->palette().color(QPalette::Button));
    // Current entry: black frame.
    Click(*form, 50, 50);
    shot = form->Browser->grab().toImage();
    EXPECT_EQ(shot.pixelColor(52, 5 + 2), QColor(Qt::black));
}

TEST_F(MainWindowTest, ClicksMakeEntriesCurrentAndSelect) {
    FillImages(10);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 130, 50);
    EXPECT_EQ(form->Files().CurrentIndex(), 1);
    EXPECT_EQ(form->StatusPanel->text(), "img01.fake");
    Click(*form, 10, 200, Qt::ShiftModifier);
    EXPECT_EQ(form->Files().CurrentIndex(), 4);
    EXPECT_TRUE(form->Files().Entry(1).Selected);
    EXPECT_TRUE(form->Files().Entry(4).Selected);
    // Right of the last column: the first entry of the next row.
    Click(*form, 4 * 121 - 2 + 3, 50);
    EXPECT_EQ(form->Files().CurrentIndex(), 4);
    Click(*form, 4 * 121 + 121, 50);
    EXPECT_EQ(form->Files().CurrentIndex(), 5);
    // Below the last entry: nothing current, page buttons do nothing.
    Click(*form, 300, 350);
    EXPECT_EQ(form->Files().CurrentIndex(), -1);
    form->tbbtnBrowserClick(1);
    EXPECT_EQ(form->Page(), 0);
    // Right button: no change.
    form->BrowserMouseDown(Qt::RightButton, Qt::NoModifier, 10, 10);
    EXPECT_EQ(form->Files().CurrentIndex(), -1);
}

TEST_F(MainWindowTest, PagesFillOncePerEntryAndBackAlternates) {
    FillImages(2, 640, 480);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);

    form->tbbtnBackClick();  // Back works without a current entry
    EXPECT_EQ(form->Page(), 0);
    form->tbbtnBrowserClick(1);  // nothing current yet
    EXPECT_EQ(form->Page(), 0);

    Click(*form, 10, 10);
    form->BrowserDblClick();
    EXPECT_EQ(form->Page(), 1);
    EXPECT_EQ(form->NotebookPageName(), "Viewer");
    EXPECT_EQ(form->PreviewPicture().Width(), 640);
    EXPECT_TRUE(form->Files().ViewerLoaded());

    // The viewer is not read again: the file may even be gone.
    std::filesystem::remove(images / "img00.fake");
    form->tbbtnBrowserClick(0);
    form->tbbtnBackClick();
    EXPECT_EQ(form->Page(), 1);
    EXPECT_EQ(form->PrevPage(), 0);
    form->tbbtnBackClick();
    EXPECT_EQ(form->Page(), 0);
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, InfoForAnImageStraightFromTheBrowser) {
    FillImages(1, 640, 480);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    form->FlagBoxes[3]->setChecked(true);  // left over from an earlier texture
    Click(*form, 10, 10);
    form->tbbtnBrowserClick(2);
    EXPECT_EQ(form->NotebookPageName(), "Info");
    EXPECT_EQ(form->lbDimensions->text(), "640x480");
    EXPECT_EQ(form->lbFramesCount->text(), "1");
    EXPECT_EQ(form->lbMipsCount->text(), "1");
    EXPECT_EQ(form->lbFaceCount->text(), "1");
    EXPECT_TRUE(form->FlagBoxes[3]->isChecked());
    EXPECT_TRUE(form->Files().ViewerLoaded());  // the Info page filled the viewer to measure it
}

TEST_F(MainWindowTest, UnreadableImageStopsThePageSwitch) {
    WriteDamagedImage(images / "bad.fake");
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    EXPECT_THROW(form->tbbtnBrowserClick(1), std::exception);
    EXPECT_EQ(form->Page(), 1);
    EXPECT_EQ(form->NotebookPageName(), "Browser");
    EXPECT_FALSE(form->Files().ViewerLoaded());
}

TEST_F(MainWindowTest, RescanLeavesNoEntryCurrent) {
    FillImages(3);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    form->tbbtnBrowserClick(1);
    form->tbbtnBrowserClick(0);
    form->ScanFolder(images.Path().string());
    EXPECT_EQ(form->Files().CurrentIndex(), -1);
    EXPECT_EQ(form->Files().CurrentEntry(), nullptr);
    form->tbbtnBrowserClick(1);  // does nothing
    EXPECT_EQ(form->Page(), 0);
    form->tbbtnBackClick();      // switches, reads nothing
    EXPECT_EQ(form->Page(), 1);
    form->Bitmapbmp2Click(0);    // nothing to save
    form->cbMipChange(0);
    EXPECT_TRUE(errors.empty());
}

// A 512 x 512 texture with 10 levels and the flags TRILINEAR and EIGHTBITALPHA (and bits
// beyond the 25 shown), next to an ordinary image.
void WriteTextureFolder(const std::filesystem::path& dir) {
    vtftest::Recipe r;
    r.Width = r.Height = 512;
    r.Mips = 10;
    r.Format = vtftest::BGR888;
    r.Flags = 2u | 8192u | 0x80000000u;
    testsupport::WriteFile(dir / "a.vtf", vtftest::Build(r));
    vtftest::Recipe small;
    small.Width = small.Height = 8;
    small.Mips = 4;
    small.Format = vtftest::BGR888;
    testsupport::WriteFile(dir / "b.vtf", vtftest::Build(small));
    WriteFakeImage(dir / "c.fake", 640, 480);
}

TEST_F(MainWindowTest, TextureViewerListsItsLevelsAndShowsTheChosenOne) {
    WriteTextureFolder(images.Path());
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);  // a.vtf
    form->tbbtnBrowserClick(2);
    EXPECT_EQ(form->lbDimensions->text(), "512x512");
    EXPECT_EQ(form->lbMipsCount->text(), "10");
    EXPECT_EQ(form->lbFramesCount->text(), "1");
    EXPECT_EQ(form->lbFaceCount->text(), "1");
    std::vector<std::string> on;
    for (QCheckBox* box : form->FlagBoxes)
        if (box->isChecked()) on.push_back(box->text().toStdString());
    EXPECT_EQ(on, (std::vector<std::string>{"TRILINEAR", "EIGHTBITALPHA"}));

    form->tbbtnBrowserClick(1);
    ASSERT_EQ(form->cbMip->count(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(form->cbMip->itemText(i), QString::number(i));
    EXPECT_EQ(form->cbMip->currentIndex(), 0);
    EXPECT_EQ(form->PreviewPicture().Width(), 512);

    form->cbMip->setCurrentIndex(3);
    form->cbMipChange(3);
    EXPECT_EQ(form->PreviewPicture().Width(), 64);  // one eighth
    EXPECT_EQ(form->lbDimensions->text(), "512x512");  // Info untouched
    form->cbMip->setEditText("4");  // typed
    form->cbMipChange(-1);
    EXPECT_EQ(form->PreviewPicture().Width(), 32);
    for (const char* typed : {"10", "-1", "x", ""}) {
        form->cbMip->setEditText(typed);
        form->cbMipChange(-1);
        EXPECT_EQ(form->PreviewPicture().Width(), 32) << typed;
    }
}

TEST_F(MainWindowTest, MipComboWaitsWhileTheViewerShowsAnotherEntry) {
    WriteTextureFolder(images.Path());
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);  // a.vtf, 10 levels
    form->ShowPage(1);
    form->ShowPage(0);
    Click(*form, 130, 10);  // b.vtf, 4 levels, not viewed yet
    form->cbMip->setCurrentIndex(8);
    form->cbMipChange(8);   // level 8 of a.vtf's list means nothing for b.vtf
    EXPECT_EQ(form->PreviewPicture().Width(), 512);
    form->ShowPage(1);
    EXPECT_EQ(form->cbMip->count(), 4);
    EXPECT_EQ(form->PreviewPicture().Width(), 8);
    form->cbMip->setCurrentIndex(2);
    form->cbMipChange(2);
    EXPECT_EQ(form->PreviewPicture().Width(), 2);
    // An ordinary image keeps the levels of the last texture shown.
    Click(*form, 250, 10);
    form->ShowPage(1);
    EXPECT_EQ(form->cbMip->count(), 4);
    EXPECT_EQ(form->PreviewPicture().Width(), 640);
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, SaveAsWithoutCurrentEntryDoesNothing) {
    auto form = Open();
    bool asked = false;
    form->SaveFileNameHook = [&](int) {
        asked = true;
        return (images / "out.bmp").string();
    };
    form->Bitmapbmp2Click(0);
    form->Bitmapbmp2Click(1);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(std::filesystem::exists(images / "out.bmp"));
}

TEST_F(MainWindowTest, SaveAsFillsTheViewerFirstAndReplacesTheFile) {
    FillImages(1, 640, 480);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    const auto out = settings / "out.bmp";
    std::ofstream(out) << "an older file, rather longer than nothing";
    int askedWithViewerLoaded = -1;
    form->SaveFileNameHook = [&](int tag) {
        EXPECT_EQ(tag, 0);
        askedWithViewerLoaded = form->Files().ViewerLoaded() ? 1 : 0;
        return out.string();
    };
    form->Bitmapbmp2Click(0);
    EXPECT_EQ(askedWithViewerLoaded, 1);
    EXPECT_EQ(form->Page(), 0);  // the page did not change
    TBitmap saved;
    saved.LoadFromFile(out.string());
    EXPECT_EQ(saved.Width(), 640);
    EXPECT_EQ(saved.Height(), 480);

    // The Targa item is disabled and writes nothing.
    form->SaveFileNameHook = [&](int) {
        ADD_FAILURE() << "no dialog for Targa";
        return std::string();
    };
    form->Bitmapbmp2Click(2);
}

TEST_F(MainWindowTest, SaveAsJpegHoldsTheFullSizeImage) {
    FillImages(1, 640, 480);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    const auto out = settings / "out.jpg";
    form->SaveFileNameHook = [&](int tag) {
        EXPECT_EQ(tag, 1);
        return out.string();
    };
    form->Bitmapbmp2Click(1);
    TPicture picture;
    picture.LoadFromFile(out.string());
    EXPECT_EQ(picture.Width(), 640);
    EXPECT_EQ(picture.Height(), 480);
}

TEST_F(MainWindowTest, BrowseRescansAlsoTheSameFolder) {
    FillImages(2);
    auto form = Open();
    int offered = 0;
    form->BrowseForFolderHook = [&]() -> std::optional<std::string> {
        ++offered;
        return images.Path().string();
    };
    form->tbbtnBrowseClick();
    EXPECT_EQ(form->TreePath(), images.Path().string());
    ASSERT_EQ(form->Files().Count(), 2);
    Paint(*form);
    Click(*form, 10, 10);
    form->tbbtnBrowseClick();  // same folder: rescanned, so nothing is current any more
    EXPECT_EQ(form->Files().CurrentIndex(), -1);
    form->BrowseForFolderHook = [] { return std::optional<std::string>(); };
    form->tbbtnBrowseClick();  // cancelled
    EXPECT_EQ(form->Files().Count(), 2);
    EXPECT_EQ(offered, 2);
}

TEST_F(MainWindowTest, KeyboardMovesTheCurrentEntryAndScrolls) {
    FillImages(30);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    EXPECT_TRUE(form->BrowserKeyDown(Qt::Key_Right, Qt::NoModifier));
    EXPECT_EQ(form->Files().CurrentIndex(), 0);  // nothing current: the first entry
    form->BrowserKeyDown(Qt::Key_Right, Qt::NoModifier);
    form->BrowserKeyDown(Qt::Key_Down, Qt::NoModifier);
    EXPECT_EQ(form->Files().CurrentIndex(), 5);
    form->BrowserKeyDown(Qt::Key_End, Qt::NoModifier);
    EXPECT_EQ(form->Files().CurrentIndex(), 29);
    EXPECT_GT(form->VertScrollBar->value(), 0);
    form->BrowserKeyDown(Qt::Key_Home, Qt::NoModifier);
    EXPECT_EQ(form->Files().CurrentIndex(), 0);
    EXPECT_EQ(form->VertScrollBar->value(), 0);
    form->BrowserKeyDown(Qt::Key_Left, Qt::NoModifier);  // stays at the first
    EXPECT_EQ(form->Files().CurrentIndex(), 0);
    form->BrowserKeyDown(Qt::Key_Return, Qt::NoModifier);
    EXPECT_EQ(form->Page(), 1);
}

}  // namespace

TEST(BitmapView, DeepBitmapsAreSharedOthersConvertOnlyTheAskedPart) {
    TBitmap mono;
    mono.SetPixelFormat(pf1bit);
    mono.SetSize(4000, 3000);  // 1.5 MB as a bitmap; 48 MB as a whole 32-bit copy
    mono.SetPixel(101, 52, TRGBQuad{255, 255, 255, 0});
    const QImage part = ToQImage(mono, QRect(100, 50, 8, 4));
    ASSERT_EQ(part.size(), QSize(8, 4));
    EXPECT_EQ(part.pixel(1, 2), qRgb(255, 255, 255));
    EXPECT_EQ(part.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(ToQImage(mono, QRect(3990, 2990, 50, 50)).size(), QSize(10, 10));  // clipped to the bitmap
    EXPECT_TRUE(ToQImage(mono, QRect(5000, 0, 5, 5)).isNull());

    TBitmap deep;
    deep.SetPixelFormat(pf24bit);
    deep.SetSize(10, 10);
    const QImage shared = ToQImage(deep, QRect(2, 2, 3, 3));
    EXPECT_EQ(shared.size(), QSize(10, 10));
    EXPECT_EQ(shared.constBits(), deep.ScanLine(0));
}

TEST(GcfTestDialog, LoadErrorsGoToTheErrorBoxGiven) {
    std::vector<std::string> shown;
    TfrmGcfTest dialog(nullptr, [&](const std::string& m) { shown.push_back(m); });
    EXPECT_EQ(dialog.windowTitle(), "GCF test");
    ScratchDir dir;
    const std::string name = (dir / "held.gcf").string();
    testsupport::WriteFile(name, std::vector<uint8_t>(44, 1));
    TFileStream holder(name, TFileMode::fmOpenExclusive);  // another holder of the file
    dialog.edFileName->setText(QString::fromStdString(name));
    dialog.btnLoad->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("Cannot open file \"" + name + "\".", 0), 0u) << shown[0];
}

TEST_F(MainWindowTest, HiddenFoldersCanBeChosen) {
    const auto hidden = images / ".hidden" / "sub";
    std::filesystem::create_directories(hidden);
    std::filesystem::create_directories(images / "visible");
    WriteFakeImage(hidden / "a.fake", 10, 10);
    auto form = Open();
    // Once the tree has listed the parent, only its visible child is in it.
    form->SetTreePath(images.Path().string());
    const QModelIndex parent = form->ShellModel->index(QString::fromStdString(images.Path().string()));
    for (int i = 0; i < 500 && form->ShellModel->rowCount(parent) == 0; ++i) {
        form->ShellModel->fetchMore(parent);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    ASSERT_EQ(form->ShellModel->rowCount(parent), 1);
    form->SetTreePath(hidden.string());
    EXPECT_EQ(form->TreePath(), hidden.string());
    EXPECT_EQ(form->Files().Count(), 1);
    EXPECT_TRUE(errors.empty());
}

namespace {

// The browser bar's hints are tool tips: hovering a button leaves the status text as it was
// (a status tip would put the hint in its place).
TEST_F(MainWindowTest, BrowserBarHintsLeaveTheStatusText) {
    auto form = Open();
    form->show();
    form->SetStatus("3 images found \\ 1 loaded");
    for (QToolButton* button : form->ToolBarBrowser->findChildren<QToolButton*>()) {
        if (!button->objectName().startsWith("tbbtn")) continue;
        SCOPED_TRACE(button->objectName().toStdString());
        EXPECT_FALSE(button->toolTip().isEmpty());
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QCoreApplication::sendEvent(button, &enter);
        EXPECT_EQ(form->StatusBar->currentMessage().toStdString(), "");
        EXPECT_TRUE(form->StatusPanel->isVisible());
    }
}

}  // namespace

// Holds the workers back until the test lets them go. The guard opens it at the latest, and
// must go before the window (whose workers may be waiting).
class ThumbnailGate {
public:
    TThumbnailMaker Maker() {
        return [this](const std::string& path) {
            std::unique_lock lock(FMutex);
            FChanged.wait(lock, [this] { return FOpen; });
            lock.unlock();
            return CreateThumbnail(path);
        };
    }
    void Open() {
        std::lock_guard lock(FMutex);
        FOpen = true;
        FChanged.notify_all();
    }
    struct Guard {
        ThumbnailGate& Gate;
        ~Guard() { Gate.Open(); }
    };

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FOpen = false;
};

// A window with load all down whose workers wait until the test opens the gate.
class HeldThumbnailsTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        form = Open();
        form->SetThumbnailMaker(gate.Maker());
        form->tbbtnLoadAll->setChecked(true);
    }

    ThumbnailGate gate;
    std::unique_ptr<TfrmMain> form;
    ThumbnailGate::Guard opened{gate};
};

TEST_F(HeldThumbnailsTest, LoadAllScanReturnsAtOnceAndTheStatusCountsThumbnailsIn) {
    FillImages(19, 100, 100);
    WriteDamagedImage(images / "img19.fake");
    form->ScanFolder(images.Path().string());
    // Listed and sorted while no thumbnail could be made yet; cells show a placeholder.
    ASSERT_EQ(form->Files().Count(), 20);
    EXPECT_EQ(form->Files().LoadedCount(), 0);
    EXPECT_TRUE(form->ThumbnailsPending());
    EXPECT_EQ(form->StatusPanel->text(), "20 images found \\ 0 loaded");
    QImage shot = form->Browser->grab().toImage();
    EXPECT_EQ(shot.pixelColor(3 + 10, 8 + 20), form->Browser->palette().color(QPalette::Button));

    gate.Open();
    WaitForThumbnails(*form);
    EXPECT_EQ(form->Files().LoadedCount(), 19);
    EXPECT_EQ(form->StatusPanel->text(), "20 images found \\ 19 loaded");
    EXPECT_FALSE(form->Files().Entry(19).Thumbnail);
    EXPECT_TRUE(form->ThumbnailFailed(form->Files().Entry(19)));
    shot = form->Browser->grab().toImage();
    EXPECT_EQ(shot.pixelColor(3 + 10, 8 + 20), QColor(10, 20, 7));
    // The damaged file's cell (fifth row, fourth column) is drawn without image or placeholder,
    // its broken-image mark in the middle.
    form->VertScrollBar->setValue(4 * 136);
    shot = form->Browser->grab().toImage();
    EXPECT_EQ(shot.pixelColor(3 * 121 + 3 + 5, 5 + 3 + 5), QColor(Qt::white));
    EXPECT_NE(shot.pixelColor(3 * 121 + 3 + 50, 5 + 3 + 50), QColor(Qt::white));
    EXPECT_TRUE(errors.empty());
}

TEST_F(HeldThumbnailsTest, RescanWhileThumbnailsAreInFlight) {
    FillImages(30, 300, 200);
    ScratchDir second;
    for (int i = 0; i < 5; ++i) WriteFakeImage(second / ("s" + std::to_string(i) + ".fake"), 50, 40);
    form->ScanFolder(images.Path().string());
    form->ScanFolder(second.Path().string());
    gate.Open();
    WaitForThumbnails(*form);
    ASSERT_EQ(form->Files().Count(), 5);
    EXPECT_EQ(form->Files().LoadedCount(), 5);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(form->Files().Entry(i).Thumbnail) << i;
        EXPECT_EQ(form->Files().Entry(i).Thumbnail->Width(), 50);
    }
    EXPECT_EQ(form->StatusPanel->text(), "5 images found \\ 5 loaded");
    // A click puts the entry's name in the status; arriving thumbnails leave it there.
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    WaitForThumbnails(*form);
    EXPECT_EQ(form->Files().LoadedCount(), 30);
    EXPECT_EQ(form->StatusPanel->text(), "img00.fake");
}

namespace {

QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

TEST_F(MainWindowTest, CommandLineOpensAFolderOrAFileAndReportsWhatItCannotOpen) {
    FillImages(3, 640, 480);
    std::ofstream(images / "notes.txt") << "not a picture";
    ScratchDir stored;
    WriteFakeImage(stored / "x.fake", 10, 10);
    auto storeFolder = [&] { std::ofstream(IniPath()) << "[General]\nPath=" << stored.Path().string() << "\n"; };
    std::ostringstream err;

    storeFolder();
    {
        auto form = std::make_unique<TfrmMain>(IniPath(), ParseCommandLine({"pictolan", Q(images.Path())}, err));
        EXPECT_EQ(form->TreePath(), images.Path().string());
        EXPECT_EQ(form->Files().Count(), 3);
        EXPECT_EQ(form->NotebookPageName(), "Browser");
    }
    {
        auto form = std::make_unique<TfrmMain>(IniPath(), ParseCommandLine({"pictolan", Q(images / "img01.fake")}, err));
        EXPECT_EQ(form->TreePath(), images.Path().string());
        EXPECT_EQ(form->Files().CurrentIndex(), 1);
        EXPECT_TRUE(form->Files().Entry(1).Selected);
        EXPECT_EQ(form->NotebookPageName(), "Viewer");
        EXPECT_EQ(form->PreviewPicture().Width(), 640);
    }
    EXPECT_EQ(err.str(), "");
    EXPECT_TRUE(errors.empty());

    // A file the browser does not list: its folder, and the picture container's message.
    {
        auto form = std::make_unique<TfrmMain>(IniPath(), ParseCommandLine({"pictolan", Q(images / "notes.txt")}, err));
        EXPECT_EQ(form->TreePath(), images.Path().string());
        EXPECT_EQ(errors, std::vector<std::string>{"Unknown picture file extension (.txt)"});
    }

    storeFolder();
    const auto start = ParseCommandLine({"pictolan", "/no/such/place"}, err);
    EXPECT_FALSE(start);
    EXPECT_EQ(err.str(), "pictolan: Cannot open \"/no/such/place\". No such file or directory\n");
    auto form = std::make_unique<TfrmMain>(IniPath(), start);
    EXPECT_EQ(form->TreePath(), stored.Path().string());
    EXPECT_EQ(form->Files().Count(), 1);
}

TEST_F(MainWindowTest, ShortcutsAreStandardKeysShownInMenusAndHints) {
    FillImages(2, 64, 48);
    auto form = Open();
    struct {
        QAction* action;
        const char* keys;
        QToolButton* button;
    } cases[] = {
        {form->itmSaveAs, "Ctrl+S", form->ToolButton2},     {form->itmClose, "Ctrl+Q", form->tbbtnClose},
        {form->itmChangeDir, "Ctrl+O", form->tbbtnBrowse},  {form->itmRescan, "F5", nullptr},
        {form->itmBack, "Alt+Left", form->tbbtnBack},       {form->itmPages[0], "Ctrl+1", form->tbbtnBrowser},
        {form->itmPages[1], "Ctrl+2", form->tbbtnViewer},   {form->itmPages[2], "Ctrl+3", form->tbbtnInfo},
        {form->itmAbout, "F1", form->tbbtnAbout},           {form->itmZoomIn, "Ctrl++", nullptr},
        {form->itmZoomOut, "Ctrl+-", nullptr},              {form->itmActualSize, "Ctrl+0", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        EXPECT_EQ(c.action->shortcut().toString(), c.keys);
        EXPECT_FALSE(c.action->associatedObjects().isEmpty());  // in a menu, which shows the keys
        if (c.button) {
            EXPECT_TRUE(c.button->toolTip().endsWith(QString(" (%1)").arg(c.keys))) << c.button->toolTip().toStdString();
        }
    }

    // Pressed on the window, the keys reach their commands.
    form->SetTreePath(images.Path().string());
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Paint(*form);
    Click(*form, 10, 10);
    QTest::keyClick(form.get(), Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(form->NotebookPageName(), "Viewer");
    QTest::keyClick(form.get(), Qt::Key_3, Qt::ControlModifier);
    EXPECT_EQ(form->NotebookPageName(), "Info");
    QTest::keyClick(form.get(), Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(form->NotebookPageName(), "Viewer");
    QTest::keyClick(form.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(form->Zoom().Factor(), 2.0 / 3);
    QTest::keyClick(form.get(), Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(form->Zoom().Factor(), 1);
    WriteFakeImage(images / "img02.fake", 8, 8);
    QTest::keyClick(form.get(), Qt::Key_F5);
    EXPECT_EQ(form->Files().Count(), 3);
    QTest::keyClick(form.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(form->PopupMenuSave->isVisible());
    form->PopupMenuSave->hide();
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, ViewerZoomFitsFollowsTheMouseAndSavesAtFullSize) {
    FillImages(1, 1600, 1200);
    auto form = Open();
    form->show();
    form->ScanFolder(images.Path().string());
    Paint(*form);
    Click(*form, 10, 10);
    form->ShowPage(1);
    QScrollArea* box = form->ScrollBox1;
    EXPECT_EQ(form->ImagePreview->size(), QSize(1600, 1200));  // actual size by default
    EXPECT_TRUE(form->StatusZoom->isVisible());
    EXPECT_EQ(form->StatusZoom->text(), "Zoom: 100%");

    auto expectFitted = [&] {
        const QSize view = box->maximumViewportSize(), shown = form->ImagePreview->size();
        EXPECT_TRUE(shown.width() <= view.width() && shown.height() <= view.height());
        EXPECT_TRUE(shown.width() == view.width() || shown.height() == view.height()) << shown.width() << " in " << view.width();
        EXPECT_TRUE(form->StatusZoom->text().endsWith("(fit)"));
        (void)form->ImagePreview->grab();
    };
    form->ZoomFitToWindow();
    expectFitted();
    form->resize(640, 480);  // the fitted picture follows the window
    QCoreApplication::sendPostedEvents();
    expectFitted();

    // Ctrl+wheel: one notch is one step, and the picture's point under the mouse stays.
    form->ZoomActualSize();
    box->horizontalScrollBar()->setValue(200);
    box->verticalScrollBar()->setValue(100);
    QWheelEvent wheel(QPointF(50, 40), QPointF(50, 40), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::ControlModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(box->viewport(), &wheel);
    EXPECT_EQ(form->Zoom().Factor(), 1.5);
    EXPECT_EQ(box->horizontalScrollBar()->value(), 325);
    EXPECT_EQ(box->verticalScrollBar()->value(), 170);
    (void)form->ImagePreview->grab(QRect(300, 150, 200, 100));

    const auto out = settings / "out.bmp";
    form->SaveFileNameHook = [&](int) { return out.string(); };
    form->Bitmapbmp2Click(0);
    TBitmap saved;
    saved.LoadFromFile(out.string());
    EXPECT_EQ(saved.Width(), 1600);
    EXPECT_EQ(saved.Height(), 1200);
    form->ShowPage(0);
    EXPECT_FALSE(form->StatusZoom->isVisible());
}

TEST_F(MainWindowTest, FailedThumbnailShowsABrokenMarkWithItsErrorAsHint) {
    WriteDamagedImage(images / "bad.fake");
    WriteFakeImage(images / "good.fake", 100, 100);
    auto form = Open();
    form->ScanFolder(images.Path().string());
    WaitForThumbnails(*form);
    const QImage shot = form->Browser->grab().toImage();
    int marked = 0;  // the first cell's thumbnail box, left white without the mark
    for (int y = 8; y < 108; ++y)
        for (int x = 3; x < 103; ++x) marked += shot.pixelColor(x, y) != QColor(Qt::white) ? 1 : 0;
    EXPECT_GT(marked, 100);

    EXPECT_EQ(form->BrowserHintAt(50, 50).toStdString(), "Fake image is damaged");
    EXPECT_EQ(form->BrowserHintAt(170, 50), "");  // the good file
    EXPECT_EQ(form->BrowserHintAt(112, 50), "");  // the gap between the cells
    form->show();
    QHelpEvent help(QEvent::ToolTip, QPoint(50, 50), form->Browser->mapToGlobal(QPoint(50, 50)));
    QCoreApplication::sendEvent(form->Browser, &help);
    EXPECT_EQ(QToolTip::text().toStdString(), "Fake image is damaged");
    QToolTip::hideText();
}

TEST_F(MainWindowTest, WindowPlacementIsRememberedBetweenRuns) {
    {
        auto form = std::make_unique<TfrmMain>(IniPath());
        form->show();
        form->setGeometry(40, 50, 700, 500);
        form->Splitter2->setSizes({150, 550});
        QCoreApplication::sendPostedEvents();
    }
    auto form = std::make_unique<TfrmMain>(IniPath());
    form->show();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(form->geometry(), QRect(40, 50, 700, 500));
    EXPECT_EQ(form->Splitter2->sizes().value(0), 150);
}

}  // namespace

// A one-pixel checkerboard reduced smoothly is grey everywhere, also where one band of rows
// meets the next (a nearest-pixel reduction would give black or white).
TEST(BitmapView, SmoothReductionAveragesAcrossBands) {
    TBitmap mono;
    mono.SetPixelFormat(pf1bit);
    mono.SetSize(262144, 64);  // 32 source rows a band
    for (int y = 0; y < mono.Height(); ++y) std::memset(mono.ScanLine(y), y % 2 ? 0x55 : 0xAA, 262144 / 8);
    const QImage reduced = SmoothlyReduced(mono, 262144 / 8, 8);
    ASSERT_EQ(reduced.size(), QSize(32768, 8));
    for (int y = 0; y < 8; ++y)
        for (int x : {0, 1, 16384, 32767}) EXPECT_NEAR(qRed(reduced.pixel(x, y)), 128, 16) << x << ", " << y;
}
