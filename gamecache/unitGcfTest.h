// The game cache test dialog: reads the header of the file named in the edit box.
#pragma once

#include <QDialog>

class QLineEdit;
class QListWidget;
class QPushButton;

class TfrmGcfTest : public QDialog {
public:
    explicit TfrmGcfTest(QWidget* parent = nullptr);

    void btnLoadClick();

    QLineEdit* edFileName = nullptr;
    QPushButton* btnLoad = nullptr;
    QListWidget* ListBox = nullptr;
};
