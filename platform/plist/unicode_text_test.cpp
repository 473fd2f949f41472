#include "platform/plist/unicode_text.h"

#include <gtest/gtest.h>

using pieces_t = std::vector<std::string>;

TEST(UnicodeTextTest, EveryNewlineCharacterIsASeparatorOfItsOwn) {
    EXPECT_EQ(split_at_newlines("one\ntwo\n"), (pieces_t{"one", "two", ""}));
    EXPECT_EQ(split_at_newlines("a\r\nb"), (pieces_t{"a", "", "b"}));
    EXPECT_EQ(split_at_newlines("a\vb\fc\rd"), (pieces_t{"a", "b", "c", "d"}));
    EXPECT_EQ(split_at_newlines("a\u0085b\u2028c\u2029d"), (pieces_t{"a", "b", "c", "d"}));
    // Neither the tab nor the next control character nor the line-separator look-alikes split.
    EXPECT_EQ(split_at_newlines("a\tb\x0e"
                                "c\u200bd"),
              (pieces_t{"a\tb\x0e"
                        "c\u200bd"}));
    EXPECT_EQ(split_at_newlines(""), (pieces_t{""}));
}

TEST(UnicodeTextTest, WhitespaceIsTabAndTheSpaceSeparatorsOnly) {
    EXPECT_EQ(split_at_whitespace("  123 /sbin/init --flag"),
              (pieces_t{"", "", "123", "/sbin/init", "--flag"}));
    EXPECT_EQ(split_at_whitespace("a\tb\u00a0c\u3000d\u2002e"),
              (pieces_t{"a", "b", "c", "d", "e"}));
    // Line breaks and zero-width characters are not whitespace here.
    EXPECT_EQ(split_at_whitespace("a\nb\u200bc\u2028d"), (pieces_t{"a\nb\u200bc\u2028d"}));
    EXPECT_EQ(split_at_whitespace("x "), (pieces_t{"x", ""}));
}

TEST(UnicodeTextTest, OnlyWellFormedUtf8IsValid) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8(std::string("nul\0inside", 10)));
    EXPECT_TRUE(is_valid_utf8("caf\u00e9 \U0001F600"));
    for (const char* bad :
         {"\xff", "\x80", "\xc0\xaf", "\xe2\x82", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xc3"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(std::string(bad));
        EXPECT_TRUE(split_at_newlines(bad).empty());
        EXPECT_TRUE(split_at_whitespace(bad).empty());
    }
}

TEST(UnicodeTextTest, JoinPutsTheSeparatorBetweenPiecesOnly) {
    EXPECT_EQ(join({}, "\n"), "");
    EXPECT_EQ(join({"a"}, "\n"), "a");
    EXPECT_EQ(join({"a", "", "b"}, "\n"), "a\n\nb");
}
