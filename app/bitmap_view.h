// Showing the imaging core's bitmaps in Qt widgets.
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

#include "bitmap.h"

// The part `area` of the bitmap as an image Qt can draw (the whole bitmap for a null area).
// 24- and 32-bit bitmaps are shared without a copy, whatever the area, so the bitmap must
// outlive the image; other depths are converted to 32 bits, the area only. Alpha is ignored,
// as a plain bitmap copy ignores it.
QImage ToQImage(const TBitmap& bitmap, QRect area = QRect());

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
    QImage FShared;  // null when the picture's depth needs converting at each paint
};
