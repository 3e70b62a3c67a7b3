#include "bitmap_view.h"

#include <algorithm>

#include <QPainter>
#include <QPaintEvent>

#include "viewer_zoom.h"

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

namespace {

// Rows top to top + rows - 1 of the bitmap: shared where the depth allows, else converted.
QImage RowsImage(const TBitmap& bitmap, int top, int rows) {
    const int w = bitmap.Width();
    if (!SharedWithQt(bitmap)) return ToQImage(bitmap, QRect(0, top, w, rows));
    const auto stride = static_cast<qsizetype>(bitmap.RowStride());
    const QImage::Format format = bitmap.PixelFormat() == pf24bit ? QImage::Format_BGR888 : QImage::Format_RGB32;
    return QImage(bitmap.ScanLine(top), w, rows, stride, format);
}

}  // namespace

QImage SmoothlyReduced(const TBitmap& bitmap, int w, int h) {
    const int64_t sourceW = bitmap.Width(), sourceH = bitmap.Height();
    QImage out(w, h, QImage::Format_RGB32);
    if (out.isNull() || sourceW == 0 || sourceH == 0) return QImage();
    QPainter painter(&out);
    // About 32 MB of source rows at 32 bits per band.
    const int64_t sourceRowsPerBand = std::max<int64_t>(1, (int64_t(32) << 20) / (sourceW * 4));
    const int bandRows = static_cast<int>(std::clamp<int64_t>(sourceRowsPerBand * h / sourceH, 1, h));
    for (int top = 0; top < h; top += bandRows) {
        const int bottom = std::min(h, top + bandRows);
        const auto sourceTop = static_cast<int>(top * sourceH / h);
        const auto sourceBottom = static_cast<int>(std::min<int64_t>(sourceH, (bottom * sourceH + h - 1) / h));
        const QImage band = RowsImage(bitmap, sourceTop, sourceBottom - sourceTop);
        if (band.isNull()) return QImage();
        painter.drawImage(0, top, band.scaled(w, bottom - top, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    return out;
}

TImagePreview::TImagePreview(QWidget* parent) : QWidget(parent) { resize(0, 0); }

void TImagePreview::SetPicture(const TBitmap& bitmap) {
    FPicture = bitmap;
    FShared = SharedWithQt(FPicture) ? ToQImage(FPicture) : QImage();
    FReduced = QImage();
    FReducedZoom = 0;
    SetZoom(FZoom);
}

void TImagePreview::SetZoom(double factor) {
    if (factor != FReducedZoom) {
        FReduced = QImage();
        FReducedZoom = 0;
    }
    FZoom = factor;
    setFixedSize(TViewerZoom::Scaled(FPicture.Width(), factor), TViewerZoom::Scaled(FPicture.Height(), factor));
    update();
}

void TImagePreview::DrawScaledPart(QPainter& painter, const QRect& exposed, bool smooth) {
    // The source pixels under the exposed part, with a pixel's margin for the filter.
    const QRect whole(0, 0, FPicture.Width(), FPicture.Height());
    const QRect source = QRectF(exposed.x() / FZoom, exposed.y() / FZoom, exposed.width() / FZoom,
                                exposed.height() / FZoom)
                             .toAlignedRect()
                             .adjusted(-1, -1, 1, 1)
                             .intersected(whole);
    if (source.isEmpty()) return;
    const QRectF target(source.x() * FZoom, source.y() * FZoom, source.width() * FZoom, source.height() * FZoom);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    if (!FShared.isNull()) {
        painter.drawImage(target, FShared, source);
        return;
    }
    const QImage part = ToQImage(FPicture, source);
    if (!part.isNull()) painter.drawImage(target, part, part.rect());
}

void TImagePreview::paintEvent(QPaintEvent* event) {
    if (FPicture.Width() == 0 || FPicture.Height() == 0) return;
    QPainter painter(this);
    const QRect r = event->rect();
    if (FZoom < 1) {
        if (FReducedZoom != FZoom && int64_t(width()) * height() <= ReducedCachePixels) {
            FReduced = SmoothlyReduced(FPicture, width(), height());
            FReducedZoom = FZoom;
        }
        if (FReducedZoom == FZoom && !FReduced.isNull())
            painter.drawImage(r.topLeft(), FReduced, r);
        else
            DrawScaledPart(painter, r, true);
        return;
    }
    if (FZoom > 1) {
        // Enlarged pixels stay sharp squares.
        DrawScaledPart(painter, r, false);
        return;
    }
    if (!FShared.isNull()) {
        painter.drawImage(r.topLeft(), FShared, r);
        return;
    }
    // Each painted part is converted as it is exposed: the scroll box exposes no more than
    // its own view at a time.
    const QImage part = ToQImage(FPicture, r);
    if (!part.isNull()) painter.drawImage(r.intersected(QRect(0, 0, FPicture.Width(), FPicture.Height())).topLeft(), part);
}
