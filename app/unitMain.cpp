#include "unitMain.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QPolygonF>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cmath>

#include "app_settings.h"
#include "bitmap_view.h"
#include "exceptions.h"
#include "format_registry.h"
#include "image_export.h"
#include "maker_links.h"
#include "pictolan_application.h"
#include "strutils.h"
#include "tolvan_drawpan.h"

namespace {

constexpr const char* SErrorSettingPath = "Error setting path: \"%s\"";
constexpr const char* SPageNames[] = {"Browser", "Viewer", "Info"};

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QIcon StandardIcon(QWidget* w, const char* themeName, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(themeName, w->style()->standardIcon(fallback));
}

QRect ToQRect(const TRect& r) { return QRect(r.Left, r.Top, r.Width(), r.Height()); }

// The platform's keys for a standard command, or ours where its theme defines none.
QList<QKeySequence> StandardKeys(QKeySequence::StandardKey key, const QKeySequence& fallback) {
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (keys.isEmpty()) keys << fallback;
    return keys;
}

// "Select directory (Ctrl+O)": a tool button's hint names the shortcut of its menu command.
QString HintWithShortcut(const char* hint, const QAction* action) {
    return QString("%1 (%2)").arg(hint, action->shortcut().toString(QKeySequence::NativeText));
}

// A picture frame torn in two: the cell of a file whose thumbnail could not be made.
void DrawBrokenImageMark(QPainter& canvas, const QRect& box, const QPalette& palette) {
    canvas.save();
    canvas.setRenderHint(QPainter::Antialiasing);
    canvas.setPen(QPen(palette.color(QPalette::Dark), 1.5));
    canvas.setBrush(palette.color(QPalette::Button));
    const double l = box.left() + 0.5, t = box.top() + 0.5, r = box.right() - 3.5, b = box.bottom() - 3.5;
    const double m = (l + r) / 2, h = b - t;
    const QPointF tear[] = {{m + 2, t}, {m - 3, t + h * 0.3}, {m + 3, t + h * 0.6}, {m - 1, b}};
    QPolygonF left, right;
    left << QPointF(l, t);
    for (const QPointF& p : tear) left << p;
    left << QPointF(l, b);
    // The right piece has slipped down and away from the tear.
    for (const QPointF& p : tear) right << p + QPointF(3, 3);
    right << QPointF(r + 3, b + 3) << QPointF(r + 3, t + 3);
    canvas.drawPolygon(left);
    canvas.drawPolygon(right);
    canvas.setPen(QPen(QColor(200, 40, 40), 2));
    const QPointF c(l + (m - l) / 2, t + h / 2);
    canvas.drawLine(c + QPointF(-4, -4), c + QPointF(4, 4));
    canvas.drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
    canvas.restore();
}

}  // namespace

std::string DefaultSettingsFile() {
    return SettingsFilePath(AppDirectory(), S(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)));
}

TfrmMain::TfrmMain(const std::string& settingsFile, const std::optional<TStartPath>& start, QWidget* parent)
    : QMainWindow(parent), FSettingsFile(settingsFile), FStart(start) {
    setObjectName("frmMain");
    setWindowTitle("Pictolan 1.01 beta");
    resize(716, 523);
    move(228, 130);

    CreateActionsAndMenus();
    CreateMainToolBar();

    Splitter2 = new QSplitter(Qt::Horizontal, this);
    Splitter2->setObjectName("Splitter2");
    Splitter2->addWidget(CreateLeftPanel());
    Splitter2->addWidget(CreateRightPanel());
    Splitter2->setStretchFactor(0, 0);
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({209, 716 - 209});
    setCentralWidget(Splitter2);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusPanel = new QLabel(StatusBar);
    StatusPanel->setMinimumWidth(50);
    StatusBar->addWidget(StatusPanel, 1);
    StatusZoom = new QLabel(StatusBar);
    StatusZoom->setObjectName("StatusZoom");
    StatusBar->addPermanentWidget(StatusZoom);
    StatusZoom->setText(Q(FZoom.StatusText()));
    StatusZoom->hide();
    setStatusBar(StatusBar);

    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The workers go first: none may wake a window that is being taken apart.
    FPool.reset();
    FormDestroy();
    // The model goes before the icon provider it uses.
    ShellTreeView->setModel(nullptr);
    delete ShellModel;
    ShellModel = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Construction of the window

void TfrmMain::CreateActionsAndMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    QMenu* saveAs = file->addMenu("Save &As");
    // The File menu's export items do what the Save As button's items do.
    saveAs->addAction("&Bitmap (*.bmp)", this, [this] { Guarded([&] { Bitmapbmp2Click(0); }); });
    saveAs->addAction("&JPEG Image (*.jpeg)", this, [this] { Guarded([&] { Bitmapbmp2Click(1); }); });
    saveAs->addAction("&Targa (*.tga)")->setEnabled(false);
    // The shortcut opens the Save As button's menu, where the format is chosen.
    itmSaveAs = saveAs->menuAction();
    itmSaveAs->setObjectName("itmSaveAs");
    itmSaveAs->setShortcuts(StandardKeys(QKeySequence::Save, QKeySequence(Qt::CTRL | Qt::Key_S)));
    connect(itmSaveAs, &QAction::triggered, this, [this] {
        PopupMenuSave->popup(ToolButton2->mapToGlobal(QPoint(0, ToolButton2->height())));
    });
    itmChangeDir = file->addAction("Change &Directory...", this, [this] { Guarded([&] { tbbtnBrowseClick(); }); });
    itmChangeDir->setObjectName("itmChangeDir");
    itmChangeDir->setShortcuts(StandardKeys(QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O)));
    itmRescan = file->addAction("&Rescan Folder", this, [this] { Guarded([&] { itmRescanClick(); }); });
    itmRescan->setObjectName("itmRescan");
    itmRescan->setShortcuts(StandardKeys(QKeySequence::Refresh, QKeySequence(Qt::Key_F5)));
    itmClose = file->addAction("&Close", this, [this] { tbbtnCloseClick(); });
    itmClose->setObjectName("itmClose");
    itmClose->setShortcuts(StandardKeys(QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)));

    QMenu* view = menuBar()->addMenu("&View");
    const char* pageItems[] = {"&Browser", "&Viewer", "&Info"};
    for (int tag = 0; tag < 3; ++tag) {
        QAction* page = view->addAction(pageItems[tag], this, [this, tag] { PageClick(tag); });
        page->setObjectName(QString("itmPage%1").arg(tag));
        page->setProperty("Tag", tag);
        page->setShortcut(QKeySequence(Qt::CTRL | (Qt::Key_1 + tag)));
        itmPages[static_cast<size_t>(tag)] = page;
    }
    itmBack = view->addAction("&Back", this, [this] { Guarded([&] { tbbtnBackClick(); }); });
    itmBack->setObjectName("itmBack");
    itmBack->setShortcuts(StandardKeys(QKeySequence::Back, QKeySequence(Qt::ALT | Qt::Key_Left)));
    view->addSeparator();
    itmZoomIn = view->addAction("Zoom &In", this, [this] { Guarded([&] { ZoomIn(); }); });
    itmZoomIn->setObjectName("itmZoomIn");
    // Ctrl+= as well: on many keyboards "+" needs Shift.
    itmZoomIn->setShortcuts(StandardKeys(QKeySequence::ZoomIn, QKeySequence(Qt::CTRL | Qt::Key_Plus))
                            << QKeySequence(Qt::CTRL | Qt::Key_Equal));
    itmZoomOut = view->addAction("Zoom &Out", this, [this] { Guarded([&] { ZoomOut(); }); });
    itmZoomOut->setObjectName("itmZoomOut");
    itmZoomOut->setShortcuts(StandardKeys(QKeySequence::ZoomOut, QKeySequence(Qt::CTRL | Qt::Key_Minus)));
    itmActualSize = view->addAction("&Actual Size", this, [this] { Guarded([&] { ZoomActualSize(); }); });
    itmActualSize->setObjectName("itmActualSize");
    itmActualSize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    itmFitToWindow = view->addAction("&Fit to Window", this, [this] { Guarded([&] { ZoomFitToWindow(); }); });
    itmFitToWindow->setObjectName("itmFitToWindow");
    itmFitToWindow->setCheckable(true);

    QMenu* help = menuBar()->addMenu("&Help");
    QAction* itmWeb = help->addAction("&Visit site", this, [this] { Guarded([&] { itmWebClick(0); }); });
    itmWeb->setObjectName("itmWeb");
    itmWeb->setProperty("Tag", 0);
    QAction* writeFeedback = help->addAction("&Write feedback", this, [this] { Guarded([&] { itmWebClick(1); }); });
    writeFeedback->setObjectName("Writefeedback1");
    writeFeedback->setProperty("Tag", 1);
    itmAbout = help->addAction("&About...", this, [this] { Guarded([&] { tbbtnAboutClick(); }); });
    itmAbout->setObjectName("itmAbout");
    itmAbout->setShortcuts(StandardKeys(QKeySequence::HelpContents, QKeySequence(Qt::Key_F1)));

    PopupMenuSave = new QMenu(this);
    PopupMenuSave->setObjectName("PopupMenuSave");
    Bitmapbmp2 = PopupMenuSave->addAction("&Bitmap (*.bmp)", this, [this] { Guarded([&] { Bitmapbmp2Click(0); }); });
    Bitmapbmp2->setObjectName("Bitmapbmp2");
    Bitmapbmp2->setProperty("Tag", 0);
    JPEGImagejpeg2 = PopupMenuSave->addAction("&JPEG Image (*.jpeg)", this, [this] { Guarded([&] { Bitmapbmp2Click(1); }); });
    JPEGImagejpeg2->setObjectName("JPEGImagejpeg2");
    JPEGImagejpeg2->setProperty("Tag", 1);
    argatga2 = PopupMenuSave->addAction("&Targa (*.tga)", this, [this] { Guarded([&] { Bitmapbmp2Click(2); }); });
    argatga2->setObjectName("argatga2");
    argatga2->setProperty("Tag", 2);
    argatga2->setEnabled(false);

    PopupMenuBrowser = new QMenu(this);
    PopupMenuBrowser->setObjectName("PopupMenuBrowser");
    QAction* viewPicture = PopupMenuBrowser->addAction("&View Picture", this, [this] { Guarded([&] { tbbtnBrowserClick(1); }); });
    viewPicture->setProperty("Tag", 1);
    QAction* info = PopupMenuBrowser->addAction("Show &Information", this, [this] { Guarded([&] { tbbtnBrowserClick(2); }); });
    info->setProperty("Tag", 2);
}

void TfrmMain::CreateMainToolBar() {
    ToolBarMain = new QToolBar(this);
    ToolBarMain->setObjectName("ToolBarMain");
    ToolBarMain->setMovable(false);
    ToolBarMain->setFloatable(false);
    ToolBarMain->setFixedHeight(40);
    ToolBarMain->setIconSize(QSize(16, 16));
    ToolBarMain->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBarMain->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBarMain);

    auto makeButton = [this](const char* name, const char* caption, const QIcon& icon) {
        auto* b = new QToolButton(ToolBarMain);
        b->setObjectName(name);
        b->setText(caption);
        b->setIcon(icon);
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setMinimumSize(62, 36);
        b->setProperty("Tag", 0);
        return b;
    };

    ToolButton2 = makeButton("ToolButton2", "&Save As...", StandardIcon(this, "document-save-as", QStyle::SP_DialogSaveButton));
    ToolButton2->setPopupMode(QToolButton::MenuButtonPopup);
    ToolButton2->setMenu(PopupMenuSave);
    ToolButton2->setToolTip(HintWithShortcut("Save As", itmSaveAs));
    ToolBarMain->addWidget(ToolButton2);

    tbbtnAbout = makeButton("tbbtnAbout", "&About...", StandardIcon(this, "help-about", QStyle::SP_MessageBoxInformation));
    tbbtnAbout->setToolTip(HintWithShortcut("About", itmAbout));
    connect(tbbtnAbout, &QToolButton::clicked, this, [this] { Guarded([&] { tbbtnAboutClick(); }); });
    ToolBarMain->addWidget(tbbtnAbout);

    tbbtnClose = makeButton("tbbtnClose", "&Close", StandardIcon(this, "application-exit", QStyle::SP_DialogCloseButton));
    tbbtnClose->setToolTip(HintWithShortcut("Close", itmClose));
    connect(tbbtnClose, &QToolButton::clicked, this, [this] { tbbtnCloseClick(); });
    ToolBarMain->addWidget(tbbtnClose);

    // The game cache test is a diagnostic: its button and separator exist but are not shown.
    QAction* gcfSeparator = ToolBarMain->addSeparator();
    gcfSeparator->setVisible(false);
    tbbtnGcf = makeButton("tbbtnGcf", "GCF test", StandardIcon(this, "drive-harddisk", QStyle::SP_DriveHDIcon));
    connect(tbbtnGcf, &QToolButton::clicked, this, [this] { Guarded([&] { tbbtnGcfClick(); }); });
    ToolBarMain->addWidget(tbbtnGcf)->setVisible(false);
}

QWidget* TfrmMain::CreateLeftPanel() {
    LeftPanel = new QFrame(this);
    LeftPanel->setObjectName("LeftPanel");
    LeftPanel->setFrameShape(QFrame::Panel);
    LeftPanel->setFrameShadow(QFrame::Sunken);
    LeftPanel->setMinimumWidth(120);
    auto* layout = new QVBoxLayout(LeftPanel);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);

    ShellModel = new QFileSystemModel(this);
    // Folder icons from the style, also where the desktop has no icon theme; given before the
    // model reads anything, as changing it later resets the model.
    FIconProvider = std::make_unique<QFileIconProvider>();
    ShellModel->setIconProvider(FIconProvider.get());
    ShellModel->setOption(QFileSystemModel::DontWatchForChanges);
    ShellModel->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    ShellModel->setReadOnly(true);
    ShellModel->setRootPath("/");

    ShellTreeView = new QTreeView(LeftPanel);
    ShellTreeView->setObjectName("ShellTreeView");
    ShellTreeView->setModel(ShellModel);
    for (int c = 1; c < ShellModel->columnCount(); ++c) ShellTreeView->hideColumn(c);
    ShellTreeView->header()->hide();
    ShellTreeView->setRootIsDecorated(false);
    ShellTreeView->setIndentation(19);
    ShellTreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    ShellTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ShellTreeView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Folders are listed in the background, and each listing pushes the rows below it down, so
    // the folder selected at start-up is brought back into view after every listing of one of
    // its ancestors, until the user takes over the tree.
    connect(ShellModel, &QFileSystemModel::directoryLoaded, this, [this](const QString& folder) {
        if (!FRevealPending) return;
        const QString current = ShellModel->filePath(ShellTreeView->currentIndex());
        if (current.isEmpty() || !current.startsWith(folder)) return;
        // The model sorts and inserts the rows it has read a moment after this signal.
        QTimer::singleShot(50, this, [this] {
            if (FRevealPending)
                ShellTreeView->scrollTo(ShellTreeView->currentIndex(), QAbstractItemView::PositionAtCenter);
        });
    });
    connect(ShellTreeView, &QTreeView::pressed, this, [this] { FRevealPending = false; });
    connect(ShellTreeView->verticalScrollBar(), &QScrollBar::sliderPressed, this, [this] { FRevealPending = false; });
    connect(ShellTreeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { Guarded([&] { ShellTreeViewChange(); }); });

    Splitter1 = new QSplitter(Qt::Vertical, LeftPanel);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    Splitter1->addWidget(ShellTreeView);
    layout->addWidget(Splitter1);
    return LeftPanel;
}

QWidget* TfrmMain::CreateRightPanel() {
    RightPanel = new QWidget(this);
    RightPanel->setObjectName("RightPanel");
    auto* layout = new QVBoxLayout(RightPanel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    ToolBarBrowser = new QToolBar(RightPanel);
    ToolBarBrowser->setObjectName("ToolBarBrowser");
    ToolBarBrowser->setFixedHeight(33);
    ToolBarBrowser->setIconSize(QSize(16, 16));
    ToolBarBrowser->setMovable(false);

    auto makeButton = [this](const char* name, const QString& hint, const QIcon& icon, int tag, bool checkable) {
        auto* b = new QToolButton(ToolBarBrowser);
        b->setObjectName(name);
        // A hint, not a status tip: the status panel shows only what SetStatus put there.
        b->setToolTip(hint);
        b->setIcon(icon);
        b->setAutoRaise(true);
        b->setCheckable(checkable);
        b->setFixedSize(24, 24);
        b->setProperty("Tag", tag);
        ToolBarBrowser->addWidget(b);
        return b;
    };
    tbbtnBrowse = makeButton("tbbtnBrowse", HintWithShortcut("Select directory", itmChangeDir), StandardIcon(this, "folder-open", QStyle::SP_DirOpenIcon), 0, false);
    connect(tbbtnBrowse, &QToolButton::clicked, this, [this] { Guarded([&] { tbbtnBrowseClick(); }); });
    tbbtnLoadAll = makeButton("tbbtnLoadAll", "Check if you want the whole folder to be loaded",
                              StandardIcon(this, "view-refresh", QStyle::SP_BrowserReload), 0, true);
    ToolBarBrowser->addSeparator();
    tbbtnBrowser = makeButton("tbbtnBrowser", HintWithShortcut("Go to browser window", itmPages[0]),
                              StandardIcon(this, "view-list-icons", QStyle::SP_FileDialogListView), 0, true);
    tbbtnViewer = makeButton("tbbtnViewer", HintWithShortcut("Go to viewer window", itmPages[1]),
                             StandardIcon(this, "image-x-generic", QStyle::SP_FileDialogContentsView), 1, true);
    tbbtnInfo = makeButton("tbbtnInfo", HintWithShortcut("Go to information window", itmPages[2]),
                           StandardIcon(this, "dialog-information", QStyle::SP_FileDialogInfoView), 2, true);
    PageButtons = new QButtonGroup(this);
    PageButtons->setExclusive(true);
    PageButtons->addButton(tbbtnBrowser, 0);
    PageButtons->addButton(tbbtnViewer, 1);
    PageButtons->addButton(tbbtnInfo, 2);
    for (QToolButton* b : {tbbtnBrowser, tbbtnViewer, tbbtnInfo}) {
        const int tag = b->property("Tag").toInt();
        connect(b, &QToolButton::clicked, this, [this, tag] { PageClick(tag); });
    }
    ToolBarBrowser->addSeparator();
    tbbtnBack = makeButton("tbbtnBack", HintWithShortcut("Return to the last used window", itmBack), StandardIcon(this, "go-previous", QStyle::SP_ArrowBack), 0, false);
    connect(tbbtnBack, &QToolButton::clicked, this, [this] { Guarded([&] { tbbtnBackClick(); }); });
    ToolBarBrowser->addSeparator();

    cbMip = new QComboBox(ToolBarBrowser);
    cbMip->setObjectName("cbMip");
    cbMip->setEditable(true);
    cbMip->setInsertPolicy(QComboBox::NoInsert);
    cbMip->setFixedWidth(57);
    cbMip->setToolTip("Current mip displayed in viewer");
    cbMip->setEditText("0");
    connect(cbMip, &QComboBox::activated, this, [this](int index) { Guarded([&] { cbMipChange(index); }); });
    connect(cbMip->lineEdit(), &QLineEdit::textEdited, this, [this] { Guarded([&] { cbMipChange(-1); }); });
    ToolBarBrowser->addWidget(cbMip);
    layout->addWidget(ToolBarBrowser);

    NotebookHeader = new QFrame(RightPanel);
    NotebookHeader->setObjectName("NotebookHeader");
    NotebookHeader->setFixedHeight(15);
    NotebookHeader->setAutoFillBackground(true);
    QPalette headerPalette = NotebookHeader->palette();
    headerPalette.setColor(QPalette::Window, headerPalette.color(QPalette::Active, QPalette::Highlight));
    NotebookHeader->setPalette(headerPalette);
    auto* headerLayout = new QHBoxLayout(NotebookHeader);
    headerLayout->setContentsMargins(4, 0, 4, 0);
    NotebookCaption = new QLabel(NotebookHeader);
    NotebookCaption->setObjectName("NotebookCaption");
    QFont bold = NotebookCaption->font();
    bold.setBold(true);
    NotebookCaption->setFont(bold);
    QPalette captionPalette = NotebookCaption->palette();
    captionPalette.setColor(QPalette::WindowText, Qt::white);
    NotebookCaption->setPalette(captionPalette);
    headerLayout->addWidget(NotebookCaption);
    layout->addWidget(NotebookHeader);

    Notebook = new QStackedWidget(RightPanel);
    Notebook->setObjectName("Notebook");
    Notebook->addWidget(CreateViewerPage());
    Notebook->addWidget(CreateBrowserPage());
    Notebook->addWidget(CreateInfoPage());
    layout->addWidget(Notebook, 1);
    return RightPanel;
}

QWidget* TfrmMain::CreateViewerPage() {
    auto* page = new QWidget;
    page->setObjectName("Viewer");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    ScrollBox1 = new QScrollArea(page);
    ScrollBox1->setObjectName("ScrollBox1");
    ScrollBox1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ScrollBox1->setWidgetResizable(false);
    ImagePreview = new TImagePreview;
    ImagePreview->setObjectName("ImagePreview");
    ScrollBox1->setWidget(ImagePreview);
    // Ctrl+wheel zooms, and a fitted picture follows the view's size.
    ScrollBox1->viewport()->installEventFilter(this);
    layout->addWidget(ScrollBox1);
    return page;
}

QWidget* TfrmMain::CreateBrowserPage() {
    auto* page = new QWidget;
    page->setObjectName("Browser");
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Browser = new TTolvanDrawPanel(page);
    Browser->setObjectName("BrowserPanel");
    Browser->OnPaint = [this](TTolvanDrawPanel* sender) { BrowserPaint(sender); };
    Browser->OnMouseDown = [this](QMouseEvent* e) {
        BrowserMouseDown(e->buttons() | e->button(), e->modifiers(), e->position().toPoint().x(),
                         e->position().toPoint().y());
    };
    Browser->OnDblClick = [this](QMouseEvent* e) {
        if (e->button() == Qt::LeftButton) BrowserDblClick();
    };
    Browser->OnResize = [this] { BrowserResize(); };
    Browser->OnKeyDown = [this](QKeyEvent* e) { return BrowserKeyDown(e->key(), e->modifiers()); };
    Browser->OnWheel = [this](QWheelEvent* e) {
        // Half a row per notch of the wheel.
        const int pixels = e->angleDelta().y() * FMetrics.RowPitch() / 240;
        VertScrollBar->setValue(VertScrollBar->value() - pixels);
    };
    Browser->OnContextPopup = [this](const QPoint& at) { PopupMenuBrowser->popup(at); };
    Browser->installEventFilter(this);  // the hints of cells whose thumbnail failed
    layout->addWidget(Browser, 1);

    VertScrollBar = new QScrollBar(Qt::Vertical, page);
    VertScrollBar->setObjectName("VertScrollBar");
    VertScrollBar->setFixedWidth(17);
    VertScrollBar->setRange(0, 0);
    VertScrollBar->setSingleStep(1);
    VertScrollBar->setPageStep(1);
    connect(VertScrollBar, &QScrollBar::valueChanged, this, [this] { Guarded([&] { VertScrollBarScroll(); }); });
    layout->addWidget(VertScrollBar);
    return page;
}

QWidget* TfrmMain::CreateInfoPage() {
    auto* page = new QWidget;
    page->setObjectName("Info");
    QFont bold = page->font();
    bold.setBold(true);

    auto makeRow = [&](const char* captionName, const char* caption, const char* valueName, int y, QLabel*& captionLabel,
                       QLabel*& valueLabel) {
        captionLabel = new QLabel(caption, page);
        captionLabel->setObjectName(captionName);
        captionLabel->setFont(bold);
        captionLabel->move(16, y);
        captionLabel->adjustSize();
        valueLabel = new QLabel("0", page);
        valueLabel->setObjectName(valueName);
        valueLabel->setGeometry(112, y, 200, captionLabel->height());
    };
    makeRow("lbDimensionsInfo", "Dimensions:", "lbDimensions", 16, lbDimensionsInfo, lbDimensions);
    makeRow("lbFramesCountInfo", "Frames count:", "lbFramesCount", 32, lbFramesCountInfo, lbFramesCount);
    makeRow("lbMipsCountInfo", "Mips count:", "lbMipsCount", 48, lbMipsCountInfo, lbMipsCount);
    makeRow("lbFaceCountInfo", "Face count:", "lbFaceCount", 64, lbFaceCountInfo, lbFaceCount);
    // The values start at x 112 unless a bold caption reaches that far in this font.
    int valueX = 112;
    for (QLabel* c : {lbDimensionsInfo, lbFramesCountInfo, lbMipsCountInfo, lbFaceCountInfo})
        valueX = std::max(valueX, c->x() + c->width() + 8);
    for (QLabel* v : {lbDimensions, lbFramesCount, lbMipsCount, lbFaceCount}) v->move(valueX, v->y());

    GroupBoxFlags = new QGroupBox("Flags:", page);
    GroupBoxFlags->setObjectName("GroupBoxFlags");
    const int rowStep = QFontMetrics(page->font()).height() + 4;
    int widest = 0;
    for (int i = 0; i < TextureFlagCount; ++i) {
        auto* box = new QCheckBox(TextureFlagCaptions[static_cast<size_t>(i)], GroupBoxFlags);
        box->setObjectName(QString("CheckBox%1").arg(i + 1));
        box->setProperty("Tag", i);
        const int column = i < 14 ? 0 : 1;
        const int row = column == 0 ? i : i - 14;
        box->adjustSize();
        box->move(column == 0 ? 24 : 168, 24 + row * rowStep);
        if (column == 1) widest = std::max(widest, box->width());
        FlagBoxes[static_cast<size_t>(i)] = box;
    }
    GroupBoxFlags->setGeometry(16, 88, 168 + widest + 16, 24 + 14 * rowStep + 8);
    // Display only: the boxes show a texture's flags and cannot be changed.
    GroupBoxFlags->setEnabled(false);
    return page;
}

// ---------------------------------------------------------------------------------------------
// Start-up, settings and closing

void TfrmMain::FormCreate() {
    FBorder = 2;
    FGap = 15;
    FCaptionHeight = 15;
    FThumbWidth = 100;
    FThumbHeight = 100;
    FMetrics = TGridMetrics{FBorder, FGap, FCaptionHeight, FThumbWidth, FThumbHeight};
    const int32_t boxWidth = FThumbWidth, boxHeight = FThumbHeight;
    SetThumbnailMaker([boxWidth, boxHeight](const std::string& path) { return CreateThumbnail(path, boxWidth, boxHeight); });
    FPage = 0;
    ShowPage(0);

    ExpandToHome();
    FIni = std::make_unique<TIniFile>(FSettingsFile);
    TAppSettings settings = ReadAppSettings(*FIni);
    ApplyPlacement(ReadWindowPlacement(*FIni));
    tbbtnLoadAll->setChecked(settings.LoadAll);
    if (FStart) {
        try {
            OpenStartPath(*FStart);
        } catch (const std::exception& e) {
            ShowErrorBox(e.what());
        }
    } else if (settings.Path) {
        try {
            SetTreePath(*settings.Path);
        } catch (const std::exception& e) {
            // Start-up goes on with no folder listed.
            ShowErrorBox(e.what());
        }
    }
}

void TfrmMain::FormDestroy() {
    if (!FIni) return;
    try {
        EnsureSettingsFolder(FIni->FileName());
        WriteAppSettings(*FIni, tbbtnLoadAll->isChecked(), TreePath());
        WriteWindowPlacement(*FIni, Placement());
    } catch (const std::exception& e) {
        // The window is going away, so the box is shown here and now. The previous settings
        // file is still intact.
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromUtf8(e.what()));
    }
    FIni.reset();
}

void TfrmMain::ApplyPlacement(const TWindowPlacement& stored) {
    TWindowPlacement p = stored;
    QScreen* screen = QGuiApplication::screenAt(QPoint(p.Left + p.Width / 2, p.Top + p.Height / 2));
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect a = screen->availableGeometry();
        p = FitPlacementToScreen(p, TRect{a.left(), a.top(), a.left() + a.width(), a.top() + a.height()});
    }
    setGeometry(p.Left, p.Top, p.Width, p.Height);
    Splitter2->setSizes({p.TreeWidth, std::max(0, p.Width - p.TreeWidth)});
    if (p.Maximized) setWindowState(windowState() | Qt::WindowMaximized);
}

TWindowPlacement TfrmMain::Placement() const {
    TWindowPlacement p;
    // A maximised window is stored at the size it returns to.
    const QRect g = isMaximized() || isMinimized() || isFullScreen() ? normalGeometry() : geometry();
    p.Left = g.x();
    p.Top = g.y();
    p.Width = g.width();
    p.Height = g.height();
    p.Maximized = isMaximized();
    const QList<int> sizes = Splitter2->sizes();
    if (!sizes.isEmpty()) p.TreeWidth = sizes.first();
    return p;
}

void TfrmMain::tbbtnCloseClick() { close(); }

// ---------------------------------------------------------------------------------------------
// Pages and status

QString TfrmMain::NotebookPageName() const {
    return Notebook->currentWidget() ? Notebook->currentWidget()->objectName() : QString();
}

const TBitmap& TfrmMain::PreviewPicture() const { return ImagePreview->Picture(); }

void TfrmMain::ShowPage(uint8_t page) {
    FPrevPage = FPage;
    FPage = page;
    if (page > 2) return;
    TFileEntry* entry = FFiles.CurrentEntry();
    switch (page) {
        case 0:
            tbbtnBrowser->setChecked(true);
            break;
        case 1:
            tbbtnViewer->setChecked(true);
            if (!FFiles.ViewerLoaded() && entry) {
                LoadViewer(entry->FullPath);
                FFiles.SetViewerLoaded(true);
            }
            break;
        case 2:
            tbbtnInfo->setChecked(true);
            if (!FFiles.InfoLoaded() && entry) {
                LoadInfo(entry->FullPath);
                FFiles.SetInfoLoaded(true);
            }
            break;
    }
    const QString name = SPageNames[page];
    if (QWidget* w = Notebook->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly)) Notebook->setCurrentWidget(w);
    NotebookCaption->setText(name);
    StatusZoom->setVisible(page == 1);
}

void TfrmMain::SetStatus(const std::string& text) {
    StatusPanel->setText(Q(text));
    StatusBar->repaint();
}

void TfrmMain::tbbtnBrowserClick(int tag) {
    if (FFiles.CurrentIndex() == -1) return;
    ShowPage(static_cast<uint8_t>(tag));
}

void TfrmMain::tbbtnBackClick() { ShowPage(FPrevPage); }

void TfrmMain::PageClick(int tag) {
    Guarded([&] { tbbtnBrowserClick(tag); });
    // The group must not move the down state by itself: ShowPage sets it, and a page button
    // pressed while no entry is current leaves it where it was.
    if (QAbstractButton* shown = PageButtons->button(FPage)) shown->setChecked(true);
}

// ---------------------------------------------------------------------------------------------
// Folder tree and scan

void TfrmMain::ExpandToHome() {
    QModelIndex home = ShellModel->index(QDir::homePath());
    for (QModelIndex i = home; i.isValid(); i = i.parent()) ShellTreeView->expand(i);
}

void TfrmMain::SetTreePath(const std::string& path) {
    if (path.empty()) {
        // Nothing to select: the tree keeps no folder and nothing is listed.
        ShellTreeView->selectionModel()->clearCurrentIndex();
        ShellTreeView->clearSelection();
        return;
    }
    QFileInfo info(Q(path));
    QModelIndex index = info.isDir() ? ShellModel->index(info.absoluteFilePath()) : QModelIndex();
    if (!index.isValid() && info.isDir() && !(ShellModel->filter() & QDir::Hidden)) {
        // A hidden folder, or one inside a hidden folder, is in the tree only while hidden
        // folders are shown: choosing one shows them from then on.
        ShellModel->setFilter(ShellModel->filter() | QDir::Hidden);
        ShellModel->sort(0);  // folders already listed take the new filter now, not at the next sort
        index = ShellModel->index(info.absoluteFilePath());
    }
    if (!index.isValid()) throw Exception(Format(SErrorSettingPath, path));
    for (QModelIndex i = index.parent(); i.isValid(); i = i.parent()) ShellTreeView->expand(i);
    ShellTreeView->setCurrentIndex(index);
    ShellTreeView->scrollTo(index, QAbstractItemView::PositionAtCenter);
    FRevealPending = true;
}

std::string TfrmMain::TreePath() const {
    QModelIndex index = ShellTreeView->currentIndex();
    if (!index.isValid()) return std::string();
    return S(ShellModel->filePath(index));
}

void TfrmMain::ShellTreeViewChange() { ScanFolder(TreePath()); }

void TfrmMain::itmRescanClick() {
    const std::string path = TreePath();
    if (!path.empty()) ScanFolder(path);
}

void TfrmMain::OpenStartPath(const TStartPath& start) {
    const uint64_t generation = FFiles.Generation();
    SetTreePath(start.Folder);
    // The tree scans a folder when its selection moves to it; the folder it is on already
    // is scanned here.
    if (FFiles.Generation() == generation) ScanFolder(start.Folder);
    if (start.FileName.empty()) return;
    int32_t index = -1;
    for (int32_t i = 0; i < FFiles.Count() && index < 0; ++i)
        if (FFiles.Entry(i).Name == start.FileName) index = i;
    if (index < 0) {
        // Not listed: the scan admits only the registered extensions.
        std::string ext = ExtractFileExt(start.FileName);
        if (!ext.empty()) ext.erase(0, 1);
        throw EInvalidGraphic(Format(SUnknownExtension, ext));
    }
    SetCurrent(index);
    FFiles.ApplyClickSelection(index, false, false);
    // The grid knows its size once the window is shown: the file is brought into view then.
    QTimer::singleShot(0, this, [this, index, listed = FFiles.Generation()] {
        if (FFiles.Generation() != listed) return;
        const int32_t columns = GridColumns(FMetrics, Browser->width());
        VertScrollBar->setValue(ScrollPositionShowing(FMetrics, columns, index, VertScrollBar->value(), Browser->height()));
    });
    ShowPage(1);
}

void TfrmMain::SetThumbnailMaker(TThumbnailMaker maker) {
    FPool.reset();
    // A worker only posts the wake-up; the results are taken on the window's own thread.
    FPool = std::make_unique<TThumbnailPool>(0, std::move(maker), [this] {
        QMetaObject::invokeMethod(this, [this] { ThumbnailsArrived(); }, Qt::QueuedConnection);
    });
    RestartThumbnails();
}

void TfrmMain::RestartThumbnails() {
    FPool->Restart();
    FPoolGeneration = FFiles.Generation();
}

void TfrmMain::ClearFiles() {
    FFiles.ClearFiles();
    RestartThumbnails();
}

void TfrmMain::ScanFolder(const std::string& path) {
    {
        // Lowering the range moves the position to 0, which must not repaint the old list: the
        // scan repaints as it lists.
        const QSignalBlocker quiet(VertScrollBar);
        VertScrollBar->setMaximum(0);
    }
    const TGridCache grid = CalcGrid(FMetrics, Browser->width(), VertScrollBar->value());
    const int32_t y0 = grid.FirstRow * grid.RowHeight - VertScrollBar->value() + GridTopMargin;
    const int32_t clientBottom = Browser->height();

    std::vector<std::string> registered;
    if (FileFormats) FileFormats->ListExtensions(registered);
    const std::vector<std::string> accepted = BuildAcceptedExtensions(registered);

    // The list shows its names as they are found; thumbnails are asked for once it is sorted,
    // so that the cells in view come first.
    TScanHooks hooks;
    hooks.EntryAdded = [&](int32_t before) {
        if ((before / grid.Columns) * grid.RowHeight + y0 < clientBottom) Browser->repaint();
    };
    // The count is shown as it grows, but a status bar painted for every one of thousands of
    // files would take longer than the listing itself: it is painted at once only when a
    // frame's time has passed since it last was, and the last count is painted with the grid.
    QElapsedTimer sinceStatusPainted;
    sinceStatusPainted.start();
    hooks.SetStatus = [&](const std::string& text) {
        StatusPanel->setText(Q(text));
        if (sinceStatusPainted.elapsed() < 16) return;
        StatusBar->repaint();
        sinceStatusPainted.restart();
    };

    RestartThumbnails();
    bool finished;
    {
        const QScopedValueRollback<bool> scanning(FScanning, true);
        finished = FFiles.ScanFolder(path, accepted, hooks);
    }
    if (!finished) return;  // a newer scan took over
    FPoolGeneration = FFiles.Generation();
    UpdateScrollRange();
    FStatusCounting = true;
    RequestVisibleThumbnails();
    if (tbbtnLoadAll->isChecked()) {
        std::vector<TThumbnailJob> all;
        all.reserve(static_cast<size_t>(FFiles.Count()));
        for (int32_t i = 0; i < FFiles.Count(); ++i) all.push_back({&FFiles.Entry(i), FFiles.Entry(i).FullPath});
        FPool->SetBackground(std::move(all));
    }
    Browser->update();
}

void TfrmMain::RequestVisibleThumbnails() {
    if (FScanning) return;
    const int position = VertScrollBar->value();
    std::vector<TThumbnailJob> jobs;
    ForEachVisibleCell(
        FMetrics, CalcGrid(FMetrics, Browser->width(), position), position, Browser->height(),
        [&] { return FFiles.Count(); },
        [&](const TGridCell& c) {
            const TFileEntry& entry = FFiles.Entry(c.Index);
            if (!entry.Loaded && !ThumbnailFailed(entry)) jobs.push_back({&entry, entry.FullPath});
            return true;
        });
    FPool->SetVisible(std::move(jobs));
}

void TfrmMain::ThumbnailsArrived() {
    std::vector<TThumbnailResult> results = FPool->TakeResults();
    if (results.empty() || FFiles.Generation() != FPoolGeneration) return;
    for (TThumbnailResult& r : results) {
        // The entry belongs to the list the pool works for, which the window owns.
        auto* entry = const_cast<TFileEntry*>(r.Entry);
        if (r.Thumbnail) {
            entry->Thumbnail = std::move(r.Thumbnail);
            entry->Loaded = true;
            ++FFiles.LoadedCounter();
        } else {
            // The grid marks the cell and shows the reason as its hint; the next scan tries again.
            entry->LoadError = r.Error;
        }
    }
    if (FStatusCounting) SetStatus(ScanStatusText(FFiles.Count(), FFiles.LoadedCount()));
    Browser->update();
}

bool TfrmMain::ThumbnailsPending() const { return !FPool->Idle(); }

// ---------------------------------------------------------------------------------------------
// Grid

void TfrmMain::UpdateScrollRange() {
    VertScrollBar->setMaximum(ScrollRangeFor(FMetrics, FFiles.Count(), Browser->width()));
}

void TfrmMain::BrowserResize() {
    // The range follows the new width at once. Taken from the last paint's column count it
    // would lag one resize behind (and be zero before the first paint), leaving rows that
    // cannot be scrolled to.
    if (FFiles.Count() == 0) return;
    UpdateScrollRange();
}

void TfrmMain::VertScrollBarScroll() { Browser->repaint(); }

void TfrmMain::BrowserPaint(TTolvanDrawPanel* sender) {
    QPainter& canvas = *sender->Canvas();
    const QPalette& palette = sender->palette();
    const int clientWidth = sender->width();
    const int clientHeight = sender->height();
    const int position = VertScrollBar->value();
    const QColor buttonHighlight = palette.color(QPalette::Light);
    const QColor shadow = palette.color(QPalette::Dark);

    QRegion clip(0, 0, clientWidth, clientHeight);
    canvas.setClipRegion(clip);
    QPen pen(buttonHighlight, FBorder, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    canvas.setFont(sender->font());

    FGrid = CalcGrid(FMetrics, clientWidth, position);
    const TGridCache grid = FGrid;
    RequestVisibleThumbnails();

    ForEachVisibleCell(
        FMetrics, grid, position, clientHeight, [&] { return FFiles.Count(); },
        [&](const TGridCell& c) {
            const TFileEntry& entry = FFiles.Entry(c.Index);
            const QColor fill = entry.Selected ? palette.color(QPalette::Highlight) : QColor(Qt::white);
            pen.setColor(c.Index == FFiles.CurrentIndex() ? QColor(Qt::black) : buttonHighlight);

            const QRect cell = ToQRect(c.Cell);
            if (entry.Thumbnail && !entry.Thumbnail->Empty()) {
                const TBitmap& thumb = *entry.Thumbnail;
                const QRect image = ToQRect(ThumbnailRect(FMetrics, c.Cell, thumb.Width(), thumb.Height()));
                canvas.drawImage(image.topLeft(), ToQImage(thumb));
                clip -= image;
                canvas.setClipRegion(clip);
            } else if (!entry.Loaded && !ThumbnailFailed(entry)) {
                // Still being made: the box shows in the background colour until it arrives.
                const QRect box = ToQRect(ThumbnailRect(FMetrics, c.Cell, FThumbWidth, FThumbHeight));
                canvas.fillRect(box, palette.color(QPalette::Button));
                clip -= box;
                canvas.setClipRegion(clip);
            }
            canvas.fillRect(cell, fill);
            if (!entry.Loaded && !entry.LoadError.empty())
                DrawBrokenImageMark(canvas, ToQRect(ThumbnailRect(FMetrics, c.Cell, 40, 32)), palette);

            const int l = c.Cell.Left, t = c.Cell.Top, r = c.Cell.Right, b = c.Cell.Bottom;
            canvas.setPen(pen);
            const QPoint frame[] = {{l + 2, t + 2}, {r - 2, t + 2}, {r - 2, b - 2}, {l + 2, b - 2}, {l + 2, t + 1}};
            canvas.drawPolyline(frame, 5);

            // Sunken outer edge: shadow on the top and left, light on the bottom and right.
            canvas.setPen(QPen(shadow, 1));
            canvas.drawLine(l, t, r - 2, t);
            canvas.drawLine(l, t, l, b - 2);
            canvas.setPen(QPen(buttonHighlight, 1));
            canvas.drawLine(l, b - 1, r - 1, b - 1);
            canvas.drawLine(r - 1, t, r - 1, b - 1);

            const QRect text = ToQRect(c.Text);
            canvas.setPen(palette.color(QPalette::WindowText));
            const QString name = canvas.fontMetrics().elidedText(Q(entry.Name), Qt::ElideRight, text.width());
            canvas.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, name);

            clip -= cell;
            canvas.setClipRegion(clip);
            return true;
        });

    canvas.fillRect(0, 0, clientWidth, clientHeight, palette.color(QPalette::Button));
}

void TfrmMain::SetCurrent(int32_t index) {
    FStatusCounting = false;  // the entry's name stays until the next scan
    SetStatus(FFiles.SetCurrent(index));
}

QString TfrmMain::BrowserHintAt(int x, int y) const {
    if (FGrid.RowHeight == 0 || FGrid.Columns == 0) return QString();
    const int32_t position = VertScrollBar->value();
    const int32_t index = GridHitTest(FGrid, x, y, position);
    if (index < 0 || index >= FFiles.Count()) return QString();
    // The hit test gives the gaps around a cell, and the strip right of the grid, to a cell
    // as well; a hint belongs to the cell itself.
    const int32_t left = (index % FGrid.Columns) * FGrid.ColumnWidth;
    const int32_t top = (index / FGrid.Columns) * FGrid.RowHeight - position + GridTopMargin;
    if (x < left || x >= left + FMetrics.CellWidth() || y < top || y >= top + FMetrics.CellHeight()) return QString();
    return Q(FFiles.Entry(index).LoadError);
}

void TfrmMain::BrowserMouseDown(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y) {
    if (buttons & Qt::RightButton) return;
    if (FGrid.RowHeight == 0 || FFiles.Count() == 0) return;
    const int32_t index = GridHitTest(FGrid, x, y, VertScrollBar->value());
    if (index < 0 || index >= FFiles.Count()) {
        FFiles.DropCurrentIndex();
        return;
    }
    if (index != FFiles.CurrentIndex()) SetCurrent(index);
    const bool shift = modifiers & Qt::ShiftModifier;
    const bool ctrl = modifiers & Qt::ControlModifier;
    if (shift || ctrl || (buttons & Qt::LeftButton)) FFiles.ApplyClickSelection(index, shift, ctrl);
    Browser->repaint();
}

void TfrmMain::BrowserDblClick() {
    if (FFiles.CurrentIndex() != -1) ShowPage(1);
}

bool TfrmMain::BrowserKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    const int32_t count = FFiles.Count();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        BrowserDblClick();
        return true;
    }
    if (count == 0) return false;
    const int32_t columns = GridColumns(FMetrics, Browser->width());
    const int32_t visibleRows = std::max(1, Browser->height() / FMetrics.RowPitch());
    const int32_t current = FFiles.CurrentIndex();
    int32_t target;
    switch (key) {
        case Qt::Key_Left: target = current - 1; break;
        case Qt::Key_Right: target = current + 1; break;
        case Qt::Key_Up: target = current - columns; break;
        case Qt::Key_Down: target = current + columns; break;
        case Qt::Key_PageUp: target = current - columns * visibleRows; break;
        case Qt::Key_PageDown: target = current + columns * visibleRows; break;
        case Qt::Key_Home: target = 0; break;
        case Qt::Key_End: target = count - 1; break;
        default: return false;
    }
    if (current == -1) target = key == Qt::Key_End ? count - 1 : 0;
    target = std::clamp(target, 0, count - 1);
    if (target != current) SetCurrent(target);
    FFiles.ApplyClickSelection(target, modifiers & Qt::ShiftModifier, false);
    VertScrollBar->setValue(ScrollPositionShowing(FMetrics, columns, target, VertScrollBar->value(), Browser->height()));
    Browser->repaint();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Viewer and Info pages

void TfrmMain::LoadViewer(const std::string& path) {
    TViewerImage image = LoadViewerImage(path);
    if (image.IsTexture) {
        const QSignalBlocker block(cbMip);
        cbMip->clear();
        for (const auto& item : MipItems(image.Mips)) cbMip->addItem(Q(item));
        cbMip->setCurrentIndex(0);
    }
    ShowPicture(*image.Bitmap);
}

void TfrmMain::ShowPicture(const TBitmap& bitmap) {
    // Fitting goes on from picture to picture; a zoom chosen by hand was for the last one.
    if (!FZoom.Fit()) FZoom.ActualSize();
    ImagePreview->SetZoom(FZoom.Factor());
    ImagePreview->SetPicture(bitmap);
    ApplyZoom();
}

void TfrmMain::ApplyZoom(std::optional<QPoint> at) {
    const TBitmap& picture = ImagePreview->Picture();
    if (FZoom.Fit()) {
        const QSize view = ScrollBox1->maximumViewportSize();
        FZoom.FitTo(picture.Width(), picture.Height(), view.width(), view.height());
    }
    const double before = ImagePreview->Zoom();
    const double after = FZoom.Factor();
    if (after != before) {
        QScrollBar* h = ScrollBox1->horizontalScrollBar();
        QScrollBar* v = ScrollBox1->verticalScrollBar();
        const QPoint anchor = at.value_or(ScrollBox1->viewport()->rect().center());
        const double x = TViewerZoom::ScrollKeeping(h->value(), anchor.x(), before, after);
        const double y = TViewerZoom::ScrollKeeping(v->value(), anchor.y(), before, after);
        ImagePreview->SetZoom(after);  // the scroll bars take their new ranges from this
        h->setValue(static_cast<int>(std::lround(x)));
        v->setValue(static_cast<int>(std::lround(y)));
    }
    itmFitToWindow->setChecked(FZoom.Fit());
    StatusZoom->setText(Q(FZoom.StatusText()));
}

void TfrmMain::ZoomIn(std::optional<QPoint> at) {
    FZoom.ZoomIn();
    ApplyZoom(at);
}

void TfrmMain::ZoomOut(std::optional<QPoint> at) {
    FZoom.ZoomOut();
    ApplyZoom(at);
}

void TfrmMain::ZoomActualSize() {
    FZoom.ActualSize();
    ApplyZoom();
}

void TfrmMain::ZoomFitToWindow() {
    const QSize view = ScrollBox1->maximumViewportSize();
    FZoom.FitTo(ImagePreview->Picture().Width(), ImagePreview->Picture().Height(), view.width(), view.height());
    ApplyZoom();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Browser && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString hint = BrowserHintAt(help->pos().x(), help->pos().y());
        if (hint.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), hint, Browser);
        return true;
    }
    if (ScrollBox1 && watched == ScrollBox1->viewport()) {
        if (event->type() == QEvent::Wheel) {
            const auto* wheel = static_cast<QWheelEvent*>(event);
            if (wheel->modifiers() & Qt::ControlModifier) {
                // One step a notch; finer wheels add up to a notch first.
                FWheelDelta += wheel->angleDelta().y();
                const QPoint at = wheel->position().toPoint();
                Guarded([&] {
                    for (; FWheelDelta >= 120; FWheelDelta -= 120) ZoomIn(at);
                    for (; FWheelDelta <= -120; FWheelDelta += 120) ZoomOut(at);
                });
                return true;
            }
        } else if (event->type() == QEvent::Resize && FZoom.Fit()) {
            Guarded([&] { ApplyZoom(); });
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::cbMipChange(int itemIndex) {
    if (FFiles.CurrentIndex() == -1) return;
    TFileEntry* entry = FFiles.CurrentEntry();
    if (!entry || !IsTexturePath(entry->FullPath)) return;
    // The level list belongs to the texture in the viewer; while the viewer still shows an
    // earlier entry it says nothing about the current one.
    if (!FFiles.ViewerLoaded()) return;
    auto level = MipLevelFromCombo(itemIndex, S(cbMip->currentText()), cbMip->count());
    if (!level) return;
    std::unique_ptr<TBitmap> bitmap = LoadTextureLevel(entry->FullPath, *level);
    ShowPicture(*bitmap);
}

void TfrmMain::LoadInfo(const std::string& path) {
    TInfoValues values;
    if (!IsTexturePath(path)) {
        if (!FFiles.ViewerLoaded() && FFiles.CurrentEntry()) {
            LoadViewer(FFiles.CurrentEntry()->FullPath);
            FFiles.SetViewerLoaded(true);
        }
        values = ImageInfoValues(ImagePreview->Picture().Width(), ImagePreview->Picture().Height());
    } else {
        const TextureInfo info = ReadTextureFileInfo(path);
        values = TextureInfoValues(info);
        const auto states = TextureFlagStates(info.Flags);
        const auto boxes = GroupBoxFlags->findChildren<QCheckBox*>();
        for (QCheckBox* box : boxes) box->setChecked(false);
        for (int i = 0; i < TextureFlagCount; ++i) {
            if (!states[static_cast<size_t>(i)]) continue;
            for (QCheckBox* box : boxes)
                if (box->property("Tag").toInt() == i) box->setChecked(true);
        }
    }
    lbDimensions->setText(Q(values.Dimensions));
    lbFramesCount->setText(Q(values.FramesCount));
    lbMipsCount->setText(Q(values.MipsCount));
    lbFaceCount->setText(Q(values.FaceCount));
}

// ---------------------------------------------------------------------------------------------
// Commands

bool TfrmMain::BrowseForFolder(const std::string& title, std::string& current) {
    std::string start = QFileInfo(Q(current)).isDir() ? current : std::string();
    std::optional<std::string> chosen;
    if (BrowseForFolderHook) {
        chosen = BrowseForFolderHook();
    } else {
        QString dir = QFileDialog::getExistingDirectory(this, Q(title), Q(start), QFileDialog::ShowDirsOnly);
        if (!dir.isEmpty()) chosen = S(dir);
    }
    if (!chosen || chosen->empty()) return false;
    current = *chosen;
    return true;
}

void TfrmMain::tbbtnBrowseClick() {
    std::string folder;
    if (!BrowseForFolder("Please, select directory to preview", folder)) return;
    SetTreePath(folder);
    ScanFolder(folder);
}

void TfrmMain::Bitmapbmp2Click(int tag) {
    TFileEntry* entry = FFiles.CurrentEntry();
    if (!entry) return;
    if (!FFiles.ViewerLoaded()) {
        LoadViewer(entry->FullPath);
        FFiles.SetViewerLoaded(true);
    }
    if (tag != 0 && tag != 1) return;

    std::string fileName;
    if (SaveFileNameHook) {
        fileName = SaveFileNameHook(tag);
    } else {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        dialog.setNameFilter(tag == 0 ? "Bitmap (*.bmp)" : "JPEG (*.jpg)");
        dialog.setDefaultSuffix(tag == 0 ? "bmp" : "jpg");
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            fileName = S(dialog.selectedFiles().first());
    }
    if (fileName.empty()) return;
    if (tag == 0)
        SaveBitmapFile(ImagePreview->Picture(), fileName);
    else
        SaveJpegFile(ImagePreview->Picture(), fileName);
}

void TfrmMain::tbbtnAboutClick() {
    QMessageBox box(QMessageBox::Information, "About...",
                    QString("Pictolan 1.01 beta\nAn image and texture browser. %1").arg(MakerWebAddress),
                    QMessageBox::Ok, this);
    box.exec();
}

void TfrmMain::itmWebClick(int tag) {
    if (auto link = MakerLinkFor(tag)) QDesktopServices::openUrl(QUrl(Q(*link)));
}

void TfrmMain::tbbtnGcfClick() {
    if (GcfTestDialog) GcfTestDialog->exec();
}
