#include <gtest/gtest.h>

#include "maker_links.h"
#include "page_content.h"

namespace {

TEST(PageContent, MipLevelFromCombo) {
    EXPECT_EQ(MipLevelFromCombo(3, "3", 10), 3);
    EXPECT_EQ(MipLevelFromCombo(-1, "7", 10), 7);    // typed
    EXPECT_EQ(MipLevelFromCombo(-1, "09", 10), 9);
    for (const char* typed : {"", "10", "-1", "abc", "3a", " 3", "+3", "99999999999"})
        EXPECT_FALSE(MipLevelFromCombo(-1, typed, 10).has_value()) << typed;
    EXPECT_FALSE(MipLevelFromCombo(-1, "0", 0).has_value());  // no texture shown yet
    EXPECT_FALSE(MipLevelFromCombo(12, "12", 10).has_value());
}

TEST(PageContent, MipItemsListEveryLevelTheInfoPageCounts) {
    EXPECT_EQ(MipItems(10), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_TRUE(MipItems(0).empty());
    EXPECT_TRUE(MipItems(-3).empty());
    const auto many = MipItems(40);  // a tiny texture may claim more levels than its size has
    ASSERT_EQ(many.size(), 40u);
    EXPECT_EQ(many.back(), "39");
    EXPECT_EQ(MipItems(100000).size(), 255u);
}

TEST(MakerLinks, ByTag) {
    EXPECT_EQ(MakerLinkFor(0).value_or(""), "https://pictolan.example.org/?content=projects&id=pictolan");
    EXPECT_EQ(MakerLinkFor(1).value_or(""), "mailto:feedback@pictolan.example.org?subject=Pictolan");
    EXPECT_FALSE(MakerLinkFor(2).has_value());
}

}  // namespace
