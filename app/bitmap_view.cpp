#include "bitmap_view.h"

#include <QPainter>
#include <QPaintEvent>

namespace {

bool SharedWithQt(const TBitmap& bitmap) {
    const TPixelFormat f = bitmap.PixelFormat();
    return f == pf24bit || f == pf32bit || f == pfDevice;
}

}  // namespace

QImage ToQImage(const TBitmap& bitmap, QRect area) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w == 0 || h == 0) return QImage();
    const auto stride = static_cast<qsizetype>(bitmap.RowStride());
    if (bitmap.PixelFormat() == pf24bit)
        return QImage(bitmap.ScanLine(0), w, h, stride, QImage::Format_BGR888);
    if (SharedWithQt(bitmap)) return QImage(bitmap.ScanLine(0), w, h, stride, QImage::Format_RGB32);

    // Packed and indexed depths: a 1-bit picture within the size bound would take 32 times
    // that bound as a whole 32-bit copy, so only the asked-for part is converted.
    area = area.isNull() ? QRect(0, 0, w, h) : area.intersected(QRect(0, 0, w, h));
    if (area.isEmpty()) return QImage();
    QImage image(area.width(), area.height(), QImage::Format_RGB32);
    if (image.isNull()) return image;
    for (int y = 0; y < area.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < area.width(); ++x) {
            TRGBQuad c = bitmap.GetPixel(area.left() + x, area.top() + y);
            line[x] = qRgb(c.Red, c.Green, c.Blue);
        }
    }
    return image;
}

TImagePreview::TImagePreview(QWidget* parent) : QWidget(parent) { resize(0, 0); }

void TImagePreview::SetPicture(const TBitmap& bitmap) {
    FPicture = bitmap;
    FShared = SharedWithQt(FPicture) ? ToQImage(FPicture) : QImage();
    setFixedSize(FPicture.Width(), FPicture.Height());
    update();
}

void TImagePreview::paintEvent(QPaintEvent* event) {
    if (FPicture.Width() == 0 || FPicture.Height() == 0) return;
    QPainter painter(this);
    const QRect r = event->rect();
    if (!FShared.isNull()) {
        painter.drawImage(r.topLeft(), FShared, r);
        return;
    }
    // Each painted part is converted as it is exposed: the scroll box exposes no more than
    // its own view at a time.
    const QImage part = ToQImage(FPicture, r);
    if (!part.isNull()) painter.drawImage(r.intersected(QRect(0, 0, FPicture.Width(), FPicture.Height())).topLeft(), part);
}
