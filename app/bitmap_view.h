// Showing the imaging core's bitmaps in Qt widgets.
#pragma once

#include <QImage>
#include <QWidget>

#include "bitmap.h"

// The bitmap as an image Qt can draw. 24-bit bitmaps are shared without a copy, so the
// bitmap must outlive the image; alpha is ignored, as a plain bitmap copy ignores it.
QImage ToQImage(const TBitmap& bitmap);

// The viewer's image control: holds its picture as a bitmap and sizes itself to it.
class TImagePreview : public QWidget {
public:
    explicit TImagePreview(QWidget* parent = nullptr);

    const TBitmap& Picture() const { return FPicture; }
    void SetPicture(const TBitmap& bitmap);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TBitmap FPicture;
    QImage FImage;
};
