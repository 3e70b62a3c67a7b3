// Geometry of the thumbnail grid: cell sizes, columns, scroll range, hit test and the walk over
// the cells a paint draws. Pure arithmetic, shared by the panel, the scan and the tests.
#pragma once

#include <cstdint>
#include <functional>

#include "graphic.h"

struct TGridMetrics {
    int32_t Border = 2;         // cell border and frame pen width
    int32_t Gap = 15;           // between cells, both directions
    int32_t CaptionHeight = 15; // file-name strip under the thumbnail
    int32_t ThumbWidth = 100;
    int32_t ThumbHeight = 100;

    int32_t ColumnPitch() const { return (Border + 1) * 2 + ThumbWidth + Gap; }
    int32_t RowPitch() const { return (Border + 1) * 2 + ThumbHeight + Gap + CaptionHeight; }
    int32_t CellWidth() const { return ThumbWidth + 2 * Border + 2; }
    int32_t CellHeight() const { return ThumbHeight + 2 * Border + 2 + CaptionHeight; }
};

inline constexpr int32_t GridTopMargin = 5;

// What the last paint computed; the mouse and resize handlers work from it.
struct TGridCache {
    int32_t Columns = 0;
    int32_t FirstRow = 0;
    int32_t RowHeight = 0;
    int32_t ColumnWidth = 0;
};

// Columns that fit a client width (at least one).
int32_t GridColumns(const TGridMetrics& m, int32_t clientWidth);
TGridCache CalcGrid(const TGridMetrics& m, int32_t clientWidth, int32_t scrollPosition);
// The scroll bar's maximum for a list: whole rows of entries times the row pitch.
int32_t ScrollRangeFor(const TGridMetrics& m, int32_t count, int32_t clientWidth);

// The entry under a point of the panel, or -1 when the point lies past the last entry.
// A point right of the last column counts into the next row, as the column is not clamped.
int32_t GridHitTest(const TGridCache& cache, int32_t x, int32_t y, int32_t scrollPosition);

struct TGridCell {
    int32_t Index;
    TRect Cell;
    TRect Text;  // the name strip inside the cell
};

// Walks the cells a paint draws, top row first. The entry count is asked again before each
// cell, because drawing one may hand control to other handlers that change the list.
// The visitor returns false to stop.
void ForEachVisibleCell(const TGridMetrics& m, const TGridCache& cache, int32_t scrollPosition, int32_t clientHeight,
                        const std::function<int32_t()>& count, const std::function<bool(const TGridCell&)>& visit);

// Where a w x h thumbnail sits in its cell: centred in the thumbnail box.
TRect ThumbnailRect(const TGridMetrics& m, const TRect& cell, int32_t w, int32_t h);

// The top of the row of an entry, in panel coordinates, and the scroll position that brings
// that whole row into view (for keyboard navigation).
int32_t ScrollPositionShowing(const TGridMetrics& m, int32_t columns, int32_t index, int32_t scrollPosition,
                              int32_t clientHeight);
