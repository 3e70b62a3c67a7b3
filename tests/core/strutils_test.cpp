#include <gtest/gtest.h>

#include "exceptions.h"
#include "strutils.h"

TEST(MulDiv, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(MulDiv(1, 1, 2), 1);
    EXPECT_EQ(MulDiv(-1, 1, 2), -1);
    EXPECT_EQ(MulDiv(1, 1, 3), 0);
    EXPECT_EQ(MulDiv(2, 1, 3), 1);
    EXPECT_EQ(MulDiv(5, 100, 10), 50);
    EXPECT_EQ(MulDiv(1, 100, 3), 33);
    EXPECT_EQ(MulDiv(2, 100, 3), 67);
    // The product does not overflow 32 bits.
    EXPECT_EQ(MulDiv(100000, 100000, 100000), 100000);
    EXPECT_EQ(MulDiv(7, 3, 0), -1);
}

TEST(FileNames, UpperFileExtTakesTheLastDotAfterTheLastDelimiter) {
    EXPECT_EQ(UpperFileExt("a.bmp"), ".BMP");
    EXPECT_EQ(UpperFileExt("archive.tar.Gz"), ".GZ");
    EXPECT_EQ(UpperFileExt("noext"), "");
    EXPECT_EQ(UpperFileExt("trailing."), ".");
    EXPECT_EQ(UpperFileExt("/some.dir/file"), "");
    EXPECT_EQ(UpperFileExt("t.vtf"), ".VTF");
    // Only ASCII letters change case.
    EXPECT_EQ(UpperFileExt("x.\xC3\xA9z"), ".\xC3\xA9Z");
}

TEST(FileNames, EscapeAndAppend) {
    EXPECT_EQ(EscapeBackslashes("a\\b\\\\c"), "a\\\\b\\\\\\\\c");
    EXPECT_EQ(EscapeBackslashes("/plain/path"), "/plain/path");
    EXPECT_EQ(AppendBackslash(""), "");
    EXPECT_EQ(AppendBackslash("/tmp"), "/tmp/");
    EXPECT_EQ(AppendBackslash("/tmp/"), "/tmp/");
}

TEST(FileNames, CaseInsensitiveComparisonFoldsAsciiOnly) {
    EXPECT_EQ(CompareTextAscii("A.png", "b.png"), -1);
    EXPECT_EQ(CompareTextAscii("b.png", "C.png"), -1);
    EXPECT_EQ(CompareTextAscii("abc", "ABC"), 0);
    EXPECT_EQ(CompareTextAscii("ab", "abc"), -1);
    EXPECT_TRUE(SameTextAscii("TGA", "tga"));
    EXPECT_FALSE(SameTextAscii("tga", "tgax"));
}

TEST(StrToInt, AcceptsDecimalAndRaisesOtherwise) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("-7"), -7);
    EXPECT_EQ(StrToIntDef("x", 5), 5);
    EXPECT_EQ(StrToIntDef("", 5), 5);
    EXPECT_EQ(StrToIntDef("99999999999", 5), 5);
    try {
        StrToInt("abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}
