#include "unitGcfTest.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <exception>

#include "cache_header.h"

TfrmGcfTest::TfrmGcfTest(QWidget* parent, std::function<void(const std::string&)> showError)
    : QDialog(parent), FShowError(std::move(showError)) {
    setObjectName("frmGcfTest");
    setWindowTitle("GCF test");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(400, 320);

    edFileName = new QLineEdit("C:\\Program Files\\Valve\\Steam\\SteamApps\\ricochet.gcf", this);
    edFileName->setObjectName("edFileName");
    edFileName->setGeometry(16, 16, 297, 21);

    btnLoad = new QPushButton("&Load", this);
    btnLoad->setObjectName("btnLoad");
    btnLoad->setGeometry(320, 16, 75, 25);
    connect(btnLoad, &QPushButton::clicked, this, [this] {
        try {
            btnLoadClick();
        } catch (const std::exception& e) {
            if (FShowError)
                FShowError(e.what());
            else
                QMessageBox::critical(this, windowTitle(), QString::fromUtf8(e.what()));
        }
    });

    ListBox = new QListWidget(this);
    ListBox->setObjectName("ListBox");
    ListBox->setGeometry(16, 48, 297, 265);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void TfrmGcfTest::btnLoadClick() { ReadCacheHeader(edFileName->text().toStdString()); }
