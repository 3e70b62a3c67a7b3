// The game cache test dialog: reads the header of the file named in the edit box.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QLineEdit;
class QListWidget;
class QPushButton;

class TfrmGcfTest : public QDialog {
public:
    // Errors of the Load button go to showError, the application's standard error box;
    // without one the dialog shows a box of its own.
    explicit TfrmGcfTest(QWidget* parent = nullptr, std::function<void(const std::string&)> showError = {});

    void btnLoadClick();

    QLineEdit* edFileName = nullptr;
    QPushButton* btnLoad = nullptr;
    QListWidget* ListBox = nullptr;

private:
    std::function<void(const std::string&)> FShowError;
};
