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

TEST(MakerLinks, ByTag) {
    EXPECT_EQ(MakerLinkFor(0).value_or(""), "https://pictolan.example.org/?content=projects&id=pictolan");
    EXPECT_EQ(MakerLinkFor(1).value_or(""), "mailto:feedback@pictolan.example.org?subject=Pictolan");
    EXPECT_FALSE(MakerLinkFor(2).has_value());
}

}  // namespace
