#include "bitmap_view.h"

#include <QPainter>
#include <QPaintEvent>

QImage ToQImage(const TBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w == 0 || h == 0) return QImage();
    const auto stride = static_cast<qsizetype>(bitmap.RowStride());
    if (bitmap.PixelFormat() == pf24bit)
        return QImage(bitmap.ScanLine(0), w, h, stride, QImage::Format_BGR888);
    if (bitmap.PixelFormat() == pf32bit || bitmap.PixelFormat() == pfDevice)
        return QImage(bitmap.ScanLine(0), w, h, stride, QImage::Format_RGB32);
    QImage image(w, h, QImage::Format_RGB32);
    if (image.isNull()) return image;
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            TRGBQuad c = bitmap.GetPixel(x, y);
            line[x] = qRgb(c.Red, c.Green, c.Blue);
        }
    }
    return image;
}

TImagePreview::TImagePreview(QWidget* parent) : QWidget(parent) { resize(0, 0); }

void TImagePreview::SetPicture(const TBitmap& bitmap) {
    FPicture = bitmap;
    FImage = ToQImage(FPicture);
    setFixedSize(FPicture.Width(), FPicture.Height());
    update();
}

void TImagePreview::paintEvent(QPaintEvent* event) {
    if (FImage.isNull()) return;
    QPainter painter(this);
    const QRect r = event->rect();
    painter.drawImage(r.topLeft(), FImage, r);
}
