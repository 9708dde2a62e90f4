// The text helpers: escaping, trimming, lowering and the allocation
// wrappers.
#include "support/log.h"
#include "support/util.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string trimmed(std::string text) {
    char *p = trim_spaces(text.data());
    return p;
}

// The one escaping rule of logs and terminals: controls, stray bytes and
// a backslash-free rendering of them; valid UTF-8 stays; nothing is cut in
// the middle of an escape or a character.
TEST(util, EscapeTextShowsControlsAndKeepsWholeCharacters) {
    struct row {
        std::string text;
        size_t cap;
        const char *shown;
        size_t used;
    };
    const row rows[] = {
        {"plain", 64, "plain", 5},
        {"a\nb\tc\rd", 64, "a\\nb\\tc\\x0dd", 7},
        {"\x1b[2J", 64, "\\x1b[2J", 4},
        {"\xc3\xa4\xe2\x82\xac", 64, "\xc3\xa4\xe2\x82\xac", 5},
        {"\xc3(\xff", 64, "\\xc3(\\xff", 3},
        {"\xed\xa0\x80", 64, "\\xed\\xa0\\x80", 3},
        {"\xc2\x85!", 64, "\\xc2\\x85!", 3},
        {"ab\n", 4, "ab", 2},
        {"a\xc3\xa4", 3, "a", 1},
        {"x", 0, nullptr, 0},
    };
    for (const row &r : rows) {
        char out[64] = "untouched";
        EXPECT_EQ(escape_text(r.text.data(), r.text.size(), out, r.cap), r.used) << r.text;
        EXPECT_STREQ(out, r.shown != nullptr ? r.shown : "untouched") << r.text;
    }
}

TEST(util, TrimSpacesCutsBothEndsAndKeepsInnerSpace) {
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed(" \t\r\n\v\f"), "");
    EXPECT_EQ(trimmed("  a \t b\r"), "a \t b");
    EXPECT_EQ(trimmed("x"), "x");
    // Bytes of 128 and above are never white space.
    EXPECT_EQ(trimmed("\xa0x\xa0"), "\xa0x\xa0");
}

TEST(util, TrimSpacesOnAllSpaceTextPointsAtItsEnd) {
    char text[] = "   ";
    EXPECT_EQ(trim_spaces(text), text + 3);
}

TEST(util, CopyLowercaseLowersWhatFits) {
    char buf[6];
    EXPECT_EQ(copy_lowercase(buf, "AbC9-", sizeof buf), 1);
    EXPECT_STREQ(buf, "abc9-");
    EXPECT_EQ(copy_lowercase(buf, "ABCDEF", sizeof buf), 0);
    EXPECT_STREQ(buf, "ABCDE");
    EXPECT_EQ(copy_lowercase(buf, "\xc3\x84Z", sizeof buf), 1);
    EXPECT_STREQ(buf, "\xc3\x84z");
    char untouched = 'q';
    EXPECT_EQ(copy_lowercase(&untouched, "a", 0), 0);
    EXPECT_EQ(untouched, 'q');
}

TEST(util, WrappersCopyTheirInput) {
    char *s = strdup_or_die("text", "test");
    EXPECT_STREQ(s, "text");
    free(s);
    auto *m = static_cast<char *>(memdup_or_die("a\0b", 3, "test"));
    EXPECT_EQ(memcmp(m, "a\0b", 3), 0);
    free(m);
    auto *z = static_cast<unsigned char *>(calloc_or_die(4, 4, "test"));
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(z[i], 0);
    free(z);
}

TEST(util_death, ExhaustionWarnsThenExits) {
    log_setup(1);
    // Sizes no allocator can satisfy; the sanitizer's allocator must return
    // null for them too rather than abort.
    EXPECT_EXIT((void)calloc_or_die(SIZE_MAX / 2, 4, "cfg"), ::testing::ExitedWithCode(1),
                "^support_test\\[[0-9]+\\]: cfg: calloc\\([0-9]+, 4\\)\n"
                "support_test\\[[0-9]+\\]: fatal: exiting\n$");
    EXPECT_EXIT((void)malloc_or_die(SIZE_MAX - 16, "who"), ::testing::ExitedWithCode(1),
                "who: malloc\\([0-9]+\\)\n.*fatal: exiting\n$");
}

} // namespace
