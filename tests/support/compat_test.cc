// The BSD calls of the platform layer, held to their contracts.
#include "support/compat.h"

#include <cerrno>
#include <climits>
#include <gtest/gtest.h>

namespace {

TEST(compat, StrlcpyCutsAndReportsTheWholeLength) {
    char buf[4] = "zzz";
    EXPECT_EQ(strlcpy(buf, "abcdef", sizeof buf), 6u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strlcpy(buf, "ab", sizeof buf), 2u);
    EXPECT_STREQ(buf, "ab");
    char untouched = 'q';
    EXPECT_EQ(strlcpy(&untouched, "abc", 0), 3u);
    EXPECT_EQ(untouched, 'q');
}

TEST(compat, StrlcatAppendsWhatFits) {
    char buf[6] = "ab";
    EXPECT_EQ(strlcat(buf, "cd", sizeof buf), 4u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(strlcat(buf, "efgh", sizeof buf), 8u);
    EXPECT_STREQ(buf, "abcde");
    // A destination without a NUL within size counts as full and is not read
    // past its end.
    char full[3] = {'x', 'y', 'z'};
    EXPECT_EQ(strlcat(full, "ab", sizeof full), 5u);
    EXPECT_EQ(full[2], 'z');
}

TEST(compat, StrtonumReportsFreeBsdErrorTexts) {
    const char *err = "unset";
    EXPECT_EQ(strtonum("42", 0, 100, &err), 42);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(strtonum("-7", -10, 10, &err), -7);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(strtonum("+5", 0, 10, &err), 5);
    EXPECT_EQ(err, nullptr);

    struct bad {
        const char *text;
        long long min, max;
        const char *error;
        int errnum;
    };
    const bad cases[] = {
        {"", 0, 10, "invalid", EINVAL},
        {"12x", 0, 100, "invalid", EINVAL},
        {"x", 0, 100, "invalid", EINVAL},
        {"1", 5, 2, "invalid", EINVAL},
        {"-1", 0, 10, "too small", ERANGE},
        {"11", 0, 10, "too large", ERANGE},
        {"2147483648", 0, INT_MAX, "too large", ERANGE},
        {"99999999999999999999", 0, LLONG_MAX, "too large", ERANGE},
        {"-99999999999999999999", LLONG_MIN, 0, "too small", ERANGE},
    };
    for (const bad &c : cases) {
        errno = 0;
        EXPECT_EQ(strtonum(c.text, c.min, c.max, &err), 0) << c.text;
        EXPECT_STREQ(err, c.error) << c.text;
        EXPECT_EQ(errno, c.errnum) << c.text;
    }
}

TEST(compat, GetprognameIsTheBaseName) {
    EXPECT_STREQ(getprogname(), "support_test");
}

} // namespace
