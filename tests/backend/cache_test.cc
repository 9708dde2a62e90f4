// The lookup cache without a database: what is kept, what a notification
// payload flushes, the bound on entries and the stale fallback.
#include "backend/backend.h"
#include "proto/proto.h"
#include "support/log.h"
#include "tests/helpers/process.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

class cache_unit : public ::testing::Test {
  protected:
    backend *b = nullptr;
    char buf[PROTO_VALUE_SIZE] = {};

    void SetUp() override {
        log_setup(1);
        std::string path = temp_path("cache");
        write_file(path, "cache_size 4\ncache_ttl 60\ncache_negative_ttl 0\ncache_stale 60\n");
        b = backend_load(path.c_str());
        ASSERT_NE(b, nullptr);
    }
    void TearDown() override { backend_free(b); }

    // What a lookup would answer from the cache: the value, "<not-found>"
    // or "<ask>" when the database must be asked.
    std::string lookup(service_kind svc, const char *key) {
        cache_result r = cache_answer(b, svc, key, true, true, buf, sizeof buf, nullptr);
        return r == CACHE_FOUND ? std::string(buf) : r == CACHE_NOT_FOUND ? "<not-found>" : "<ask>";
    }
};

TEST_F(cache_unit, KeepsFoundAnswersAndServesChecksFromLookups) {
    cache_store(b, SVC_ALIAS, "a", 1, "x, y");
    cache_store(b, SVC_DOMAIN, "a", 1, nullptr); // a check: no value
    EXPECT_EQ(lookup(SVC_ALIAS, "a"), "x, y");
    EXPECT_EQ(cache_answer(b, SVC_ALIAS, "a", false, true, nullptr, 0, nullptr), CACHE_FOUND);
    EXPECT_EQ(cache_answer(b, SVC_DOMAIN, "a", false, true, nullptr, 0, nullptr), CACHE_FOUND);
    // A found check holds no value for a lookup.
    EXPECT_EQ(lookup(SVC_DOMAIN, "a"), "<ask>");
    EXPECT_EQ(lookup(SVC_ALIAS, "b"), "<ask>");
    // A not-found with a TTL of 0 is never served fresh, but is a fallback.
    cache_store(b, SVC_ALIAS, "gone", 0, "");
    EXPECT_EQ(lookup(SVC_ALIAS, "gone"), "<ask>");
    std::string err = capture_stderr([&] {
        EXPECT_EQ(cache_fallback(b, SVC_ALIAS, "gone", true, buf, sizeof buf), CACHE_NOT_FOUND);
        EXPECT_EQ(cache_fallback(b, SVC_ALIAS, "a", true, buf, sizeof buf), CACHE_FOUND);
        EXPECT_EQ(cache_fallback(b, SVC_ALIAS, "never", true, buf, sizeof buf), CACHE_MISS);
    });
    EXPECT_EQ(err, log_line("cache_test", getpid(),
                            "warn: database unavailable; serving cached answers up to 60 s past "
                            "their time"));
}

TEST_F(cache_unit, HoldsAtMostCacheSizeEntriesEvictingTheLeastRecentlyUsed) {
    for (const char *k : {"k1", "k2", "k3", "k4"})
        cache_store(b, SVC_ALIAS, k, 1, k);
    EXPECT_EQ(lookup(SVC_ALIAS, "k1"), "k1"); // k2 is now the least recently used
    cache_store(b, SVC_ALIAS, "k5", 1, "k5");
    EXPECT_EQ(cache_count(b), 4u);
    EXPECT_EQ(lookup(SVC_ALIAS, "k2"), "<ask>");
    for (const char *k : {"k1", "k3", "k4", "k5"})
        EXPECT_EQ(lookup(SVC_ALIAS, k), k);
    // Storing a key again replaces its entry.
    cache_store(b, SVC_ALIAS, "k1", 1, "new");
    EXPECT_EQ(cache_count(b), 4u);
    EXPECT_EQ(lookup(SVC_ALIAS, "k1"), "new");
}

TEST_F(cache_unit, NotificationPayloadsFlushWhatTheyName) {
    // Room for every entry below.
    backend_free(b);
    std::string path = temp_path("cache");
    write_file(path, "cache_size 16\ncache_ttl 60\ncache_stale 60\n");
    b = backend_load(path.c_str());
    struct payload {
        const char *text;
        std::string left; // entries still cached afterwards, in store order
        bool reload;      // the next fetch loads the source list again
    };
    const payload cases[] = {
        {"alias:a", "alias:b domain:a netaddr:2001:db8::1 alias:A alias:\xc3\x84", false},
        // Keys are matched as the host sent them, byte for byte.
        {"alias:A", "alias:a alias:b domain:a netaddr:2001:db8::1 alias:\xc3\x84", false},
        {"alias:\xc3\x84", "alias:a alias:b domain:a netaddr:2001:db8::1 alias:A", false},
        {"alias", "domain:a netaddr:2001:db8::1", false},
        {"netaddr:2001:db8::1", "alias:a alias:b domain:a alias:A alias:\xc3\x84", false},
        {"source", "alias:a alias:b domain:a netaddr:2001:db8::1 alias:A alias:\xc3\x84", true},
        {"", "", true},
        {"no such thing", "", true},
        {"aliases:a", "", true},
    };
    for (const payload &p : cases) {
        cache_free(b);
        uint32_t sources = cache_source_generation(b);
        for (const char *e : {"alias:a", "alias:b", "domain:a", "netaddr:2001:db8::1", "alias:A",
                              "alias:\xc3\x84"}) {
            std::string name(e, strchr(e, ':'));
            for (int slot = 0; slot < SERVICE_COUNT; slot++)
                if (name == service_to_name(1u << slot))
                    cache_store(b, 1u << slot, strchr(e, ':') + 1, 1, "v");
        }
        cache_apply(b, p.text);
        std::string left;
        for (const char *e : {"alias:a", "alias:b", "domain:a", "netaddr:2001:db8::1", "alias:A",
                              "alias:\xc3\x84"}) {
            service_kind svc = e[0] == 'a' ? SVC_ALIAS : e[0] == 'd' ? SVC_DOMAIN : SVC_NETADDR;
            if (lookup(svc, strchr(e, ':') + 1) == "v")
                left += std::string(left.empty() ? "" : " ") + e;
            // A flushed entry is known to be wrong: not even an outage may
            // have it.
            else
                EXPECT_EQ(cache_fallback(b, svc, strchr(e, ':') + 1, true, buf, sizeof buf),
                          CACHE_MISS)
                    << p.text << " " << e;
        }
        EXPECT_EQ(left, p.left) << p.text;
        EXPECT_EQ(cache_source_generation(b) != sources, p.reload) << p.text;
    }
}

TEST_F(cache_unit, ServicesAndNumbersAreReadFromTheFile) {
    struct conf {
        const char *text;
        service_kind services; // 0: the load fails
    };
    const conf cases[] = {
        {"cache_services alias, domain\tnetaddr\n", SVC_ALIAS | SVC_DOMAIN | SVC_NETADDR},
        {"cache_services ,alias,\n", SVC_ALIAS},
        {"", 511},
        {"cache_services alias, aliases\n", 0},
        {"cache_ttl forever\n", 0},
    };
    for (const conf &c : cases) {
        std::string path = temp_path("cache");
        write_file(path, c.text);
        backend *other = nullptr;
        (void)capture_stderr([&] { other = backend_load(path.c_str()); });
        EXPECT_EQ(other != nullptr, c.services != 0) << c.text;
        if (other == nullptr)
            continue;
        EXPECT_EQ(other->settings.cache_services, c.services) << c.text;
        EXPECT_EQ(other->settings.cache_ttl, 60);
        EXPECT_EQ(other->settings.cache_negative_ttl, 10);
        EXPECT_EQ(other->settings.cache_size, 0);
        backend_free(other);
    }
}

} // namespace
