// The main window: folder tree on the left; on the right the browser tool bar and the three
// pages "Browser" (thumbnail grid), "Viewer" (one image at full size) and "Info" (texture
// properties); status bar at the bottom.
//
// After a rescan no entry is current: the list is rebuilt from scratch, the page buttons do
// nothing until an entry is clicked, and Back switches pages without filling them.
//
// Thumbnails are made by a pool of worker threads: the grid draws a placeholder until a cell's
// thumbnail arrives and asks for the cells in view first. With "load all" down, a scan asks for
// every thumbnail and returns at once; the status text counts them as they arrive.
#pragma once

#include <QMainWindow>
#include <QPoint>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app_settings.h"
#include "browser_grid.h"
#include "browser_list.h"
#include "ini_file.h"
#include "page_content.h"
#include "start_path.h"
#include "thumbnail.h"
#include "thumbnail_pool.h"
#include "viewer_zoom.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialog;
class QFileIconProvider;
class QFileSystemModel;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QScrollArea;
class QScrollBar;
class QSplitter;
class QStackedWidget;
class QStatusBar;
class QToolBar;
class QToolButton;
class QTreeView;
class TImagePreview;
class TTolvanDrawPanel;

// "pictolan.ini" in the executable's folder, or in the user's configuration folder where the
// executable's folder cannot be written.
std::string DefaultSettingsFile();

class TfrmMain : public QMainWindow {
public:
    // A start path (from the command line) is opened instead of the stored folder.
    explicit TfrmMain(const std::string& settingsFile = DefaultSettingsFile(),
                      const std::optional<TStartPath>& start = std::nullopt, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Pages and navigation.
    void ShowPage(uint8_t page);
    void SetStatus(const std::string& text);
    void tbbtnBrowserClick(int tag);
    void tbbtnBackClick();
    void tbbtnCloseClick();

    // Folder tree and scan.
    void SetTreePath(const std::string& path);
    std::string TreePath() const;
    void ShellTreeViewChange();
    void ScanFolder(const std::string& path);
    void ClearFiles();
    void OpenStartPath(const TStartPath& start);
    void itmRescanClick();

    // Grid.
    void BrowserPaint(TTolvanDrawPanel* sender);
    void BrowserMouseDown(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);
    void BrowserDblClick();
    void BrowserResize();
    bool BrowserKeyDown(int key, Qt::KeyboardModifiers modifiers);
    void VertScrollBarScroll();
    void UpdateScrollRange();
    void SetCurrent(int32_t index);
    // Asks the pool for the thumbnails of the cells in view that are still missing.
    void RequestVisibleThumbnails();
    // Takes the thumbnails the pool has made into their entries and repaints.
    void ThumbnailsArrived();
    // Thumbnails asked for and not yet in their entries.
    bool ThumbnailsPending() const;
    // Whether making an entry's thumbnail failed; it is tried again at the next scan.
    bool ThumbnailFailed(const TFileEntry& entry) const { return !entry.LoadError.empty(); }
    // Replaces the function the workers make thumbnails with (tests hold them back with it).
    void SetThumbnailMaker(TThumbnailMaker maker);
    // The hint of the cell under a point: the error of a thumbnail that failed, else empty.
    QString BrowserHintAt(int x, int y) const;

    // Viewer and Info pages.
    void LoadViewer(const std::string& path);
    void LoadInfo(const std::string& path);
    // itemIndex is the chosen item, or -1 when the text was typed.
    void cbMipChange(int itemIndex);

    // Viewer zoom. `at` is the point of the view that stays put (default: the view's centre).
    void ZoomIn(std::optional<QPoint> at = std::nullopt);
    void ZoomOut(std::optional<QPoint> at = std::nullopt);
    void ZoomActualSize();
    void ZoomFitToWindow();
    const TViewerZoom& Zoom() const { return FZoom; }

    // Commands.
    bool BrowseForFolder(const std::string& title, std::string& current);
    void tbbtnBrowseClick();
    void Bitmapbmp2Click(int tag);
    void tbbtnAboutClick();
    void itmWebClick(int tag);
    void tbbtnGcfClick();

    // State the tests look at.
    const TBrowserList& Files() const { return FFiles; }
    TBrowserList& Files() { return FFiles; }
    uint8_t Page() const { return FPage; }
    uint8_t PrevPage() const { return FPrevPage; }
    const TGridMetrics& Metrics() const { return FMetrics; }
    const TGridCache& GridCache() const { return FGrid; }
    QString NotebookPageName() const;
    const TBitmap& PreviewPicture() const;
    TWindowPlacement Placement() const;

    // Stand-ins for the modal dialogs, so that tests can drive the commands; unset, the real
    // dialogs are shown. The save hook gets the Tag and answers a file name (empty: cancelled).
    std::function<std::string(int tag)> SaveFileNameHook;
    std::function<std::optional<std::string>()> BrowseForFolderHook;
    QDialog* GcfTestDialog = nullptr;

    // Controls.
    QToolBar* ToolBarMain = nullptr;
    QToolButton* ToolButton2 = nullptr;
    QToolButton* tbbtnAbout = nullptr;
    QToolButton* tbbtnClose = nullptr;
    QToolButton* tbbtnGcf = nullptr;
    QMenu* PopupMenuSave = nullptr;
    QAction* Bitmapbmp2 = nullptr;
    QAction* JPEGImagejpeg2 = nullptr;
    QAction* argatga2 = nullptr;

    // Menu commands with shortcuts; the tool buttons that do the same show them in their hints.
    QAction* itmSaveAs = nullptr;
    QAction* itmChangeDir = nullptr;
    QAction* itmRescan = nullptr;
    QAction* itmClose = nullptr;
    QAction* itmAbout = nullptr;
    std::array<QAction*, 3> itmPages{};
    QAction* itmBack = nullptr;
    QAction* itmZoomIn = nullptr;
    QAction* itmZoomOut = nullptr;
    QAction* itmActualSize = nullptr;
    QAction* itmFitToWindow = nullptr;

    QFrame* LeftPanel = nullptr;
    QTreeView* ShellTreeView = nullptr;
    QFileSystemModel* ShellModel = nullptr;
    QSplitter* Splitter1 = nullptr;
    QSplitter* Splitter2 = nullptr;

    QWidget* RightPanel = nullptr;
    QToolBar* ToolBarBrowser = nullptr;
    QToolButton* tbbtnBrowse = nullptr;
    QToolButton* tbbtnLoadAll = nullptr;
    QToolButton* tbbtnBrowser = nullptr;
    QToolButton* tbbtnViewer = nullptr;
    QToolButton* tbbtnInfo = nullptr;
    QToolButton* tbbtnBack = nullptr;
    QButtonGroup* PageButtons = nullptr;
    QComboBox* cbMip = nullptr;
    QFrame* NotebookHeader = nullptr;
    QLabel* NotebookCaption = nullptr;
    QStackedWidget* Notebook = nullptr;

    QScrollArea* ScrollBox1 = nullptr;
    TImagePreview* ImagePreview = nullptr;
    TTolvanDrawPanel* Browser = nullptr;
    QScrollBar* VertScrollBar = nullptr;
    QMenu* PopupMenuBrowser = nullptr;

    QLabel* lbDimensionsInfo = nullptr;
    QLabel* lbFramesCountInfo = nullptr;
    QLabel* lbMipsCountInfo = nullptr;
    QLabel* lbFaceCountInfo = nullptr;
    QLabel* lbDimensions = nullptr;
    QLabel* lbFramesCount = nullptr;
    QLabel* lbMipsCount = nullptr;
    QLabel* lbFaceCount = nullptr;
    QGroupBox* GroupBoxFlags = nullptr;
    std::array<QCheckBox*, TextureFlagCount> FlagBoxes{};

    QStatusBar* StatusBar = nullptr;
    QLabel* StatusPanel = nullptr;
    QLabel* StatusZoom = nullptr;  // on the right while the Viewer page is shown

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void CreateActionsAndMenus();
    void CreateMainToolBar();
    QWidget* CreateLeftPanel();
    QWidget* CreateRightPanel();
    QWidget* CreateViewerPage();
    QWidget* CreateBrowserPage();
    QWidget* CreateInfoPage();
    void ExpandToHome();
    void RestartThumbnails();
    void PageClick(int tag);
    void ApplyPlacement(const TWindowPlacement& stored);
    void ShowPicture(const TBitmap& bitmap);
    // Sizes the picture for the zoom (refitting it in fit mode) and scrolls so that the
    // picture's point at `at` stays there.
    void ApplyZoom(std::optional<QPoint> at = std::nullopt);

    std::string FSettingsFile;
    std::optional<TStartPath> FStart;
    TViewerZoom FZoom;
    int FWheelDelta = 0;  // part of a wheel notch not yet turned into a zoom step
    std::unique_ptr<QFileIconProvider> FIconProvider;
    bool FRevealPending = false;
    std::unique_ptr<TIniFile> FIni;

    // View constants, fixed once the window is created.
    int32_t FBorder = 0;
    int32_t FGap = 0;
    int32_t FCaptionHeight = 0;
    int32_t FThumbWidth = 0;
    int32_t FThumbHeight = 0;
    TGridMetrics FMetrics;

    TBrowserList FFiles;
    TGridCache FGrid;

    std::unique_ptr<TThumbnailPool> FPool;
    // The list generation the pool works for; results for any other are dropped.
    uint64_t FPoolGeneration = 0;
    bool FScanning = false;
    // The status shows the scan's count, so arriving thumbnails update it.
    bool FStatusCounting = false;
    uint8_t FPage = 0;
    uint8_t FPrevPage = 0;
};
