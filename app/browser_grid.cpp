#include "browser_grid.h"

#include <algorithm>

int32_t GridColumns(const TGridMetrics& m, int32_t clientWidth) {
    // Divided in floating point and truncated toward zero, as the layout always has been.
    auto columns = static_cast<int32_t>(static_cast<double>(clientWidth + m.Gap) / m.ColumnPitch());
    return columns == 0 ? 1 : columns;
}

TGridCache CalcGrid(const TGridMetrics& m, int32_t clientWidth, int32_t scrollPosition) {
    TGridCache c;
    c.ColumnWidth = m.ColumnPitch();
    c.Columns = GridColumns(m, clientWidth);
    c.RowHeight = m.RowPitch();
    c.FirstRow = scrollPosition / c.RowHeight;
    return c;
}

int32_t ScrollRangeFor(const TGridMetrics& m, int32_t count, int32_t clientWidth) {
    int32_t columns = GridColumns(m, clientWidth);
    if (columns < 1) columns = 1;
    return (count / columns) * m.RowPitch();
}

int32_t GridHitTest(const TGridCache& cache, int32_t x, int32_t y, int32_t scrollPosition) {
    if (cache.RowHeight == 0 || cache.ColumnWidth == 0) return -1;
    int32_t column = x / cache.ColumnWidth;
    int32_t row = (y + GridTopMargin + scrollPosition) / cache.RowHeight;
    return row * cache.Columns + column;
}

void ForEachVisibleCell(const TGridMetrics& m, const TGridCache& cache, int32_t scrollPosition, int32_t clientHeight,
                        const std::function<int32_t()>& count, const std::function<bool(const TGridCell&)>& visit) {
    if (cache.Columns <= 0 || cache.RowHeight <= 0) return;
    int32_t y = cache.FirstRow * cache.RowHeight - scrollPosition + GridTopMargin;
    int32_t index = cache.FirstRow * cache.Columns;
    const int32_t inset = m.Border + 1;
    while (index < count()) {
        int32_t x = (index % cache.Columns) * cache.ColumnWidth;
        TGridCell c;
        c.Index = index;
        c.Cell = TRect{x, y, x + m.CellWidth(), y + m.CellHeight()};
        c.Text = TRect{c.Cell.Left + inset, c.Cell.Bottom - m.CaptionHeight - inset, c.Cell.Right - inset,
                       c.Cell.Bottom - inset};
        if (c.Cell.Bottom > 0) {
            if (c.Cell.Top > clientHeight) return;
            if (!visit(c)) return;
        }
        ++index;
        if (index % cache.Columns == 0) y += cache.RowHeight;
        if (y >= clientHeight) return;
    }
}

TRect ThumbnailRect(const TGridMetrics& m, const TRect& cell, int32_t w, int32_t h) {
    TRect r;
    r.Left = cell.Left + m.Border + 1 + (m.ThumbWidth - w) / 2;
    r.Top = cell.Top + m.Border + 1 + (m.ThumbHeight - h) / 2;
    r.Right = r.Left + w;
    r.Bottom = r.Top + h;
    return r;
}

int32_t ScrollPositionShowing(const TGridMetrics& m, int32_t columns, int32_t index, int32_t scrollPosition,
                              int32_t clientHeight) {
    if (columns < 1 || index < 0) return scrollPosition;
    int32_t rowTop = (index / columns) * m.RowPitch();  // in scroll coordinates, margin left out
    int32_t rowBottom = rowTop + GridTopMargin + m.CellHeight();
    if (rowTop < scrollPosition) return rowTop;
    if (rowBottom > scrollPosition + clientHeight) return std::max(0, rowBottom - clientHeight);
    return scrollPosition;
}
