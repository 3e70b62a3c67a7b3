#include <gtest/gtest.h>

#include <vector>

#include "browser_grid.h"

namespace {

const TGridMetrics M;

std::vector<int32_t> Visited(int32_t count, int32_t width, int32_t height, int32_t position) {
    std::vector<int32_t> visited;
    TGridCache cache = CalcGrid(M, width, position);
    ForEachVisibleCell(M, cache, position, height, [&] { return count; }, [&](const TGridCell& c) {
        visited.push_back(c.Index);
        return true;
    });
    return visited;
}

TEST(GridGeometry, ColumnsForWidth) {
    EXPECT_EQ(GridColumns(M, 477), 4);
    EXPECT_EQ(GridColumns(M, 469), 4);
    EXPECT_EQ(GridColumns(M, 468), 3);  // 483 / 121 is just below 4
    EXPECT_EQ(GridColumns(M, 105), 1);
    EXPECT_EQ(GridColumns(M, 0), 1);
    EXPECT_EQ(GridColumns(M, -50), 1);
}

TEST(GridGeometry, ScrollRange) {
    EXPECT_EQ(ScrollRangeFor(M, 10, 477), 272);
    EXPECT_EQ(ScrollRangeFor(M, 8, 477), 272);
    EXPECT_EQ(ScrollRangeFor(M, 3, 477), 0);
    EXPECT_EQ(ScrollRangeFor(M, 0, 477), 0);
}

TEST(GridGeometry, PaintWalkAtTheScrollMaximum) {
    TGridCache cache = CalcGrid(M, 477, 272);
    EXPECT_EQ(cache.FirstRow, 2);
    std::vector<TGridCell> cells;
    ForEachVisibleCell(M, cache, 272, 400, [] { return 10; }, [&](const TGridCell& c) {
        cells.push_back(c);
        return true;
    });
    ASSERT_EQ(cells.size(), 2u);
    EXPECT_EQ(cells[0].Index, 8);
    EXPECT_EQ(cells[0].Cell, (TRect{0, 5, 106, 126}));
    EXPECT_EQ(cells[0].Text, (TRect{3, 108, 103, 123}));
    EXPECT_EQ(cells[1].Cell, (TRect{121, 5, 227, 126}));

    EXPECT_TRUE(Visited(8, 477, 400, 272).empty());  // only the background shows
}

TEST(GridGeometry, PaintWalkReachesOnlyVisibleCells) {
    // 2,000 entries, 4 columns, rows at 5, 141, 277, 413, 549: five rows fit 600 pixels.
    auto top = Visited(2000, 477, 600, 0);
    ASSERT_EQ(top.size(), 20u);
    EXPECT_EQ(top.front(), 0);
    EXPECT_EQ(top.back(), 19);

    // Half a row scrolled: row 0's cell is still partly visible, row 5 now starts at 617.
    auto mid = Visited(2000, 477, 600, 68);
    ASSERT_EQ(mid.size(), 20u);
    EXPECT_EQ(mid.front(), 0);

    // A cell that ends exactly at the top edge is skipped.
    auto below = Visited(2000, 477, 600, 126);
    ASSERT_FALSE(below.empty());
    EXPECT_EQ(below.front(), 4);
}

TEST(GridGeometry, PaintWalkStopsWhenTheListShrinks) {
    TGridCache cache = CalcGrid(M, 477, 0);
    int32_t count = 12;
    std::vector<int32_t> visited;
    ForEachVisibleCell(M, cache, 0, 600, [&] { return count; }, [&](const TGridCell& c) {
        visited.push_back(c.Index);
        if (c.Index == 2) count = 0;  // a nested scan emptied the list
        return true;
    });
    EXPECT_EQ(visited, (std::vector<int32_t>{0, 1, 2}));
}

TEST(GridGeometry, HitTest) {
    TGridCache cache = CalcGrid(M, 477, 0);
    EXPECT_EQ(GridHitTest(cache, 0, 0, 0), 0);
    EXPECT_EQ(GridHitTest(cache, 120, 130, 0), 0);   // last pixel row of row 0's band
    EXPECT_EQ(GridHitTest(cache, 121, 131, 0), 5);   // the band of row 1 starts 10 pixels above its cells
    EXPECT_EQ(GridHitTest(cache, 3 * 121 + 50, 50, 0), 3);
    // Right of the last column: the column is not clamped and the click lands in the next row.
    EXPECT_EQ(GridHitTest(cache, 4 * 121, 50, 0), 4);
    EXPECT_EQ(GridHitTest(cache, 4 * 121 + 130, 50, 0), 5);
    // Scrolled by 272: a click near the top hits row 2.
    EXPECT_EQ(GridHitTest(cache, 10, 10, 272), 8);
    TGridCache unpainted;
    EXPECT_EQ(GridHitTest(unpainted, 10, 10, 0), -1);
}

}  // namespace
