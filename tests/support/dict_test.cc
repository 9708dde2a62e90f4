// The dictionary: its splay shapes, its walks and a randomized run
// against std::map.
#include "support/dict.h"
#include "support/log.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

void *val(uintptr_t n) {
    return reinterpret_cast<void *>(n);
}

// The tree in a form that shows its shape: "(left key right)", "-" for null.
std::string shape(const dict_entry *e) {
    if (e == nullptr)
        return "-";
    if (e->left == nullptr && e->right == nullptr)
        return e->key;
    return "(" + shape(e->left) + " " + e->key + " " + shape(e->right) + ")";
}

// Checks the search order and returns the number of entries.
uint64_t check_order(const dict_entry *e, const char *low, const char *high) {
    if (e == nullptr)
        return 0;
    if (low != nullptr) {
        EXPECT_GT(strcmp(e->key, low), 0);
    }
    if (high != nullptr) {
        EXPECT_LT(strcmp(e->key, high), 0);
    }
    return 1 + check_order(e->left, low, e->key) + check_order(e->right, e->key, high);
}

std::vector<std::string> walk(dict *d) {
    std::vector<std::string> keys;
    dict_entry *cursor = nullptr;
    const char *key;
    while (dict_next(d, &cursor, &key, nullptr))
        keys.push_back(key);
    return keys;
}

void clear(dict *d) {
    while (dict_take_root(d, nullptr))
        ;
}

class dict_fixture : public ::testing::Test {
  protected:
    dict d{};
    void TearDown() override {
        clear(&d);
        EXPECT_EQ(d.count, 0u);
        EXPECT_EQ(d.root, nullptr);
    }
    void add(std::initializer_list<const char *> keys) {
        for (const char *k : keys)
            dict_set(&d, k, nullptr);
    }
};

TEST_F(dict_fixture, ZeroFilledDictIsEmpty) {
    dict_entry *cursor = nullptr;
    const char *key = "unset";
    void *value = val(9);
    EXPECT_EQ(dict_find(&d, "a"), nullptr);
    EXPECT_EQ(dict_has(&d, "a"), 0);
    EXPECT_EQ(dict_remove(&d, "a"), nullptr);
    EXPECT_EQ(dict_take_root(&d, &value), 0);
    EXPECT_EQ(dict_peek_root(&d, &key, &value), 0);
    EXPECT_EQ(dict_next(&d, &cursor, &key, &value), 0);
    EXPECT_EQ(dict_next_from(&d, &cursor, "a", &key, &value), 0);
    EXPECT_EQ(dict_next_from(&d, &cursor, nullptr, &key, &value), 0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_STREQ(key, "unset");
    EXPECT_EQ(value, val(9));
    dict empty{};
    dict_merge(&d, &empty);
    EXPECT_EQ(d.root, nullptr);
    EXPECT_EQ(d.count, 0u);
}

TEST_F(dict_fixture, InsertionAndFindLeaveTheSplayShapes) {
    add({"a", "b", "c", "d"});
    EXPECT_EQ(shape(d.root), "(((a b -) c -) d -)");
    EXPECT_EQ(dict_has(&d, "a"), 1);
    EXPECT_EQ(shape(d.root), "(- a (b c d))");
    // Splaying at the root's own key changes nothing.
    EXPECT_EQ(dict_has(&d, "a"), 1);
    EXPECT_EQ(shape(d.root), "(- a (b c d))");
    // An absent key leaves the last entry of its search path at the root.
    EXPECT_EQ(dict_has(&d, "bb"), 0);
    EXPECT_TRUE(strcmp(d.root->key, "b") == 0 || strcmp(d.root->key, "c") == 0);
    EXPECT_EQ(check_order(d.root, nullptr, nullptr), 4u);
}

TEST_F(dict_fixture, TakeRootRemovesTheRootFirst) {
    add({"a", "b", "c", "d"});
    ASSERT_EQ(dict_has(&d, "b"), 1);
    std::vector<std::string> order;
    const char *key;
    while (dict_peek_root(&d, &key, nullptr)) {
        order.push_back(key);
        ASSERT_EQ(dict_take_root(&d, nullptr), 1);
    }
    // After b goes, the largest key of its left side (a) takes its place.
    EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "c", "d"}));
}

TEST_F(dict_fixture, SetReplacesValueAndKeepsKeyCopy) {
    std::string key = "mutable";
    EXPECT_EQ(dict_set(&d, key.c_str(), val(1)), nullptr);
    const char *stored;
    ASSERT_EQ(dict_peek_root(&d, &stored, nullptr), 1);
    key[0] = 'X';
    EXPECT_STREQ(stored, "mutable");
    EXPECT_EQ(dict_set(&d, "mutable", val(2)), val(1));
    const char *again;
    ASSERT_EQ(dict_peek_root(&d, &again, nullptr), 1);
    EXPECT_EQ(again, stored);
    EXPECT_EQ(d.count, 1u);
    EXPECT_EQ(dict_find(&d, "mutable"), val(2));
    EXPECT_EQ(dict_xget(&d, "mutable"), val(2));
    // A null value is present yet looks absent through dict_find.
    EXPECT_EQ(dict_set(&d, "n", nullptr), nullptr);
    EXPECT_EQ(dict_set(&d, "n", nullptr), nullptr);
    EXPECT_EQ(dict_find(&d, "n"), nullptr);
    EXPECT_EQ(dict_has(&d, "n"), 1);
    EXPECT_EQ(d.count, 2u);
}

TEST_F(dict_fixture, KeysOrderByUnsignedBytes) {
    add({"b", "\xc3\xa9", "B", "", "ab", "abc", "a", "Z", "~"});
    EXPECT_EQ(walk(&d),
              (std::vector<std::string>{"", "B", "Z", "a", "ab", "abc", "b", "~", "\xc3\xa9"}));
}

TEST_F(dict_fixture, WalkSeesChangesMadeBetweenSteps) {
    add({"b", "d", "f"});
    dict_entry *cursor = nullptr;
    const char *key;
    ASSERT_EQ(dict_next(&d, &cursor, &key, nullptr), 1);
    EXPECT_STREQ(key, "b");
    add({"c", "a"});
    EXPECT_EQ(dict_remove(&d, "d"), nullptr);
    ASSERT_EQ(dict_next(&d, &cursor, &key, nullptr), 1);
    EXPECT_STREQ(key, "c");
    ASSERT_EQ(dict_next(&d, &cursor, &key, nullptr), 1);
    EXPECT_STREQ(key, "f");
    EXPECT_EQ(dict_next(&d, &cursor, &key, nullptr), 0);
    EXPECT_STREQ(cursor->key, "f");
    EXPECT_STREQ(d.root->key, "f");
    EXPECT_EQ(dict_next(&d, &cursor, &key, nullptr), 0);
    add({"g"});
    ASSERT_EQ(dict_next(&d, &cursor, &key, nullptr), 1);
    EXPECT_STREQ(key, "g");
    cursor = nullptr;
    ASSERT_EQ(dict_next(&d, &cursor, &key, nullptr), 1);
    EXPECT_STREQ(key, "a");
}

TEST_F(dict_fixture, NextFromStartsAtOrAfterTheStartKey) {
    add({"b", "d", "f"});
    const uint64_t count = d.count;
    struct step {
        const char *start;
        const char *expect; // null: no entry
    };
    const step steps[] = {{"d", "d"}, {"c", "d"},     {"", "b"},     {"a", "b"},
                          {"f", "f"}, {"g", nullptr}, {nullptr, "b"}};
    for (const step &s : steps) {
        dict_entry *cursor = nullptr;
        const char *key = nullptr;
        int r = dict_next_from(&d, &cursor, s.start, &key, nullptr);
        if (s.expect == nullptr) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(cursor, nullptr);
        } else {
            EXPECT_EQ(r, 1);
            EXPECT_STREQ(key, s.expect);
        }
        EXPECT_EQ(d.count, count);
        EXPECT_EQ(check_order(d.root, nullptr, nullptr), count);
    }
    // With a cursor the start key is not looked at.
    dict_entry *cursor = nullptr;
    const char *key;
    ASSERT_EQ(dict_next_from(&d, &cursor, "b", &key, nullptr), 1);
    ASSERT_EQ(dict_next_from(&d, &cursor, "a", &key, nullptr), 1);
    EXPECT_STREQ(key, "d");
}

TEST_F(dict_fixture, NextFromOnEmptyDictLeavesItEmpty) {
    dict_entry *cursor = nullptr;
    EXPECT_EQ(dict_next_from(&d, &cursor, "k", nullptr, nullptr), 0);
    EXPECT_EQ(d.root, nullptr);
    EXPECT_EQ(d.count, 0u);
}

TEST_F(dict_fixture, MergeMovesEntriesWithoutCopying) {
    add({"a", "c"});
    dict src{};
    dict_set(&src, "b", val(2));
    dict_set(&src, "d", val(4));
    const char *key_b;
    dict_entry *cursor = nullptr;
    ASSERT_EQ(dict_next(&src, &cursor, &key_b, nullptr), 1);
    dict_merge(&d, &src);
    EXPECT_EQ(src.root, nullptr);
    EXPECT_EQ(src.count, 0u);
    EXPECT_EQ(d.count, 4u);
    EXPECT_EQ(walk(&d), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_STREQ(key_b, "b");
    EXPECT_EQ(dict_find(&d, "d"), val(4));
}

TEST_F(dict_fixture, PrimitivesLinkAndUnlinkCallerEntries) {
    add({"a", "c"});
    dict_entry mine{};
    mine.key = "b";
    EXPECT_EQ(dict_link_entry(&d, &mine), nullptr);
    EXPECT_EQ(d.root, &mine);
    dict_entry dup{};
    dup.key = "c";
    dict_entry *holder = dict_link_entry(&d, &dup);
    ASSERT_NE(holder, nullptr);
    EXPECT_STREQ(holder->key, "c");
    EXPECT_EQ(dict_unlink_entry(&d, &mine), &mine);
    dict_entry absent{};
    absent.key = "zz";
    EXPECT_EQ(dict_unlink_entry(&d, &absent), nullptr);
    EXPECT_EQ(walk(&d), (std::vector<std::string>{"a", "c"}));
    dict_splay_end(&d, DICT_LARGEST);
    EXPECT_STREQ(d.root->key, "c");
    EXPECT_EQ(d.root->right, nullptr);
    dict_splay_end(&d, DICT_SMALLEST);
    EXPECT_STREQ(d.root->key, "a");
    EXPECT_EQ(d.root->left, nullptr);
}

// Many thousands of mixed operations against std::map: contents, order, count
// and the search-tree invariant after every step.
TEST(dict, MatchesStdMapUnderRandomOperations) {
    std::mt19937 rng(20261209);
    std::map<std::string, void *> model;
    dict d{};
    auto random_key = [&] {
        std::string k;
        size_t len = rng() % 4;
        for (size_t i = 0; i < len; i++)
            k += "aBz\x80"[rng() % 4];
        return k;
    };
    dict_entry *cursor = nullptr;
    std::string cursor_key;
    for (int step = 0; step < 40000; step++) {
        std::string k = random_key();
        void *v = val(rng() % 1000);
        auto it = model.find(k);
        switch (rng() % 8) {
        case 0:
        case 1: {
            void *old = dict_set(&d, k.c_str(), v);
            EXPECT_EQ(old, it == model.end() ? nullptr : it->second);
            model[k] = v;
            break;
        }
        case 2:
            if (it != model.end() && cursor_key == k)
                cursor = nullptr;
            EXPECT_EQ(dict_remove(&d, k.c_str()), it == model.end() ? nullptr : it->second);
            model.erase(k);
            break;
        case 3:
            EXPECT_EQ(dict_find(&d, k.c_str()), it == model.end() ? nullptr : it->second);
            EXPECT_EQ(dict_has(&d, k.c_str()), it == model.end() ? 0 : 1);
            break;
        case 4: {
            const char *key;
            auto expect = cursor == nullptr ? model.begin() : model.upper_bound(cursor_key);
            int r = dict_next(&d, &cursor, &key, nullptr);
            EXPECT_EQ(r, expect == model.end() ? 0 : 1);
            if (r == 1) {
                EXPECT_EQ(key, expect->first);
                cursor_key = key;
            }
            break;
        }
        case 5: {
            dict_entry *c = nullptr;
            const char *key;
            auto expect = model.lower_bound(k);
            int r = dict_next_from(&d, &c, k.c_str(), &key, nullptr);
            EXPECT_EQ(r, expect == model.end() ? 0 : 1);
            if (r == 1) {
                EXPECT_EQ(key, expect->first);
            }
            break;
        }
        case 6: {
            const char *key;
            if (dict_peek_root(&d, &key, nullptr)) {
                if (cursor != nullptr && cursor_key == key)
                    cursor = nullptr;
                model.erase(key);
                EXPECT_EQ(dict_take_root(&d, nullptr), 1);
            }
            break;
        }
        default: {
            dict other{};
            std::string k2 = k + "#";
            if (model.count(k2) == 0) {
                dict_set(&other, k2.c_str(), v);
                dict_merge(&d, &other);
                model[k2] = v;
                EXPECT_EQ(other.count, 0u);
            }
            break;
        }
        }
        ASSERT_EQ(d.count, model.size());
        ASSERT_EQ(check_order(d.root, nullptr, nullptr), model.size());
    }
    std::vector<std::string> expect;
    for (const auto &kv : model)
        expect.push_back(kv.first);
    EXPECT_EQ(walk(&d), expect);
    clear(&d);
}

std::string fatal_re(const std::string &text) {
    return "^dict_test\\[[0-9]+\\]: fatal: " + text + "\n$";
}

TEST(dict_death, FatalVariantsEndTheProcess) {
    log_setup(1);
    dict d{};
    EXPECT_EXIT(dict_xget(&d, "k"), ::testing::ExitedWithCode(1),
                fatal_re("dict_xget\\(0x[0-9a-f]+, k\\)"));
    EXPECT_EXIT(dict_xpop(&d, "gone"), ::testing::ExitedWithCode(1),
                fatal_re("dict_xpop\\(0x[0-9a-f]+, gone\\)"));
    dict_xset(&d, "k", nullptr);
    EXPECT_EQ(d.count, 1u);
    EXPECT_EXIT(dict_xset(&d, "k", nullptr), ::testing::ExitedWithCode(1),
                fatal_re("dict_xset\\(0x[0-9a-f]+, k\\)"));
    EXPECT_EQ(dict_xpop(&d, "k"), nullptr);
    EXPECT_EQ(d.count, 0u);
    dict a{}, b{};
    dict_set(&a, "same", nullptr);
    dict_set(&b, "same", nullptr);
    EXPECT_EXIT(dict_merge(&a, &b), ::testing::ExitedWithCode(1),
                fatal_re("dict_merge: duplicate"));
    clear(&a);
    clear(&b);
}

#if !defined(__SANITIZE_ADDRESS__)
// Exhaustion is provoked with an address-space limit, which the sanitizer's
// shadow memory cannot live with; the plain build covers it.
void insert_under_memory_limit(bool fatal_variant) {
    std::string key(64 << 20, 'k');
    // Address space for what is mapped now and 16 MiB more: not enough for
    // the entry that copies the 64 MiB key.
    long mapped_kib = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0)
            mapped_kib = std::stol(line.substr(7));
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = (static_cast<rlim_t>(mapped_kib) << 10) + (16u << 20);
    setrlimit(RLIMIT_AS, &limit);
    dict d{};
    if (fatal_variant)
        dict_xset(&d, key.c_str(), nullptr);
    else
        dict_set(&d, key.c_str(), nullptr);
}

TEST(dict_death, AllocationFailureIsFatal) {
    log_setup(1);
    EXPECT_EXIT(insert_under_memory_limit(false), ::testing::ExitedWithCode(1),
                fatal_re("dict_set: malloc: Cannot allocate memory"));
    EXPECT_EXIT(insert_under_memory_limit(true), ::testing::ExitedWithCode(1),
                fatal_re("dict_xset: malloc: Cannot allocate memory"));
}
#endif

} // namespace
