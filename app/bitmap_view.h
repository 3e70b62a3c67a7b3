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

// The picture reduced to w x h with smoothing, built a band of rows at a time so that a
// picture of a packed or indexed depth is never converted whole.
QImage SmoothlyReduced(const TBitmap& bitmap, int w, int h);

// The viewer's image control: holds its picture as a bitmap and sizes itself to it, scaled
// by its zoom factor. The picture itself is never scaled: Save As writes it at its own size.
class TImagePreview : public QWidget {
public:
    explicit TImagePreview(QWidget* parent = nullptr);

    const TBitmap& Picture() const { return FPicture; }
    void SetPicture(const TBitmap& bitmap);

    double Zoom() const { return FZoom; }
    void SetZoom(double factor);

    // A reduced view is kept whole up to this many pixels; a larger one is drawn part by
    // part as it is exposed, with a plainer filter.
    static constexpr int64_t ReducedCachePixels = int64_t(32) << 20;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DrawScaledPart(QPainter& painter, const QRect& exposed, bool smooth);

    TBitmap FPicture;
    QImage FShared;  // null when the picture's depth needs converting at each paint
    double FZoom = 1;
    QImage FReduced;  // the picture at FZoom below 1, made at the first paint that needs it
    double FReducedZoom = 0;
};
