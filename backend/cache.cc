// The lookup cache; see cache.h.
#include "backend/cache.h"

#include "backend/backend.h"
#include "proto/proto.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"
#include "support/util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

// One answer of the database, in one allocation: the record, then its index
// key (slot byte and request key), then the formatted value of a lookup.
struct cache_entry {
    cache_entry *chain; // next in its bucket
    uint64_t hash;      // of key
    const char *key;    // slot byte and request key
    cache_entry *newer;
    cache_entry *older;
    int64_t stored_at;   // exec_now_ms()
    uint64_t generation; // of its service when stored; another: flushed
    uint32_t epoch;
    bool found;
    bool from_lookup; // only then may it answer a lookup
    const char *value;
};

namespace {

// Index keys longer than this are not cached; they are rare, and the key is
// built in a fixed buffer so that a hit allocates nothing.
constexpr size_t KEY_MAX = 1024;
// An entry's index key: the slot plus one as a byte (never the NUL that
// ends it), then the request key.
using index_buf = char[KEY_MAX + 2];

// The index key of svc and key, built in the caller's buffer; null for a
// key too long to cache.
const char *index_key(service_kind svc, const char *key, index_buf &buf) {
    size_t len = strlen(key);
    if (len > KEY_MAX)
        return nullptr;
    buf[0] = static_cast<char>(service_slot(svc) + 1);
    memcpy(buf + 1, key, len + 1);
    return buf;
}

void unlink_lru(cache &c, cache_entry *e) {
    (e->newer != nullptr ? e->newer->older : c.newest) = e->older;
    (e->older != nullptr ? e->older->newer : c.oldest) = e->newer;
    e->newer = e->older = nullptr;
}

void push_newest(cache &c, cache_entry *e) {
    e->older = c.newest;
    e->newer = nullptr;
    (c.newest != nullptr ? c.newest->newer : c.oldest) = e;
    c.newest = e;
}

uint64_t hash_of(const char *ikey) {
    return std::hash<std::string_view>{}(ikey);
}

cache_entry **bucket_of(cache &c, uint64_t hash) {
    return &c.buckets[hash & (c.nbuckets - 1)];
}

void unlink_chain(cache &c, cache_entry *e) {
    cache_entry **at = bucket_of(c, e->hash);
    while (*at != e)
        at = &(*at)->chain;
    *at = e->chain;
}

void drop(cache &c, cache_entry *e) {
    unlink_chain(c, e);
    c.count--;
    stats_entries(c.count);
    unlink_lru(c, e);
    free(e);
}

// The generation an entry of the slot whose byte starts ikey is stored
// under now: a flush of everything or of the service moves it on.
uint64_t generation_of(const cache &c, char slot_byte) {
    return (uint64_t{c.all_generation} << 32) | c.generations[slot_byte - 1];
}

// The live entry for ikey, or null. An entry of an older generation was
// flushed: it is dropped when found, so that a flush costs nothing until
// its entries are touched or evicted.
cache_entry *find(cache &c, const char *ikey) {
    if (ikey == nullptr || c.buckets == nullptr)
        return nullptr;
    uint64_t hash = hash_of(ikey);
    for (cache_entry *e = *bucket_of(c, hash); e != nullptr; e = e->chain) {
        if (e->hash != hash || strcmp(e->key, ikey) != 0)
            continue;
        if (e->generation == generation_of(c, ikey[0]))
            return e;
        drop(c, e);
        return nullptr;
    }
    return nullptr;
}

// Keeps the chains short: the table doubles when it holds as many entries
// as buckets, so each lookup costs about one probe, whatever the size.
// Without the memory the table stays as it is, its chains a little longer.
bool grow(cache &c) {
    uint64_t n = c.nbuckets == 0 ? 1024 : c.nbuckets * 2;
    auto **fresh = static_cast<cache_entry **>(calloc(n, sizeof(cache_entry *)));
    if (fresh == nullptr)
        return false;
    for (uint64_t i = 0; i < c.nbuckets; i++) {
        while (cache_entry *e = c.buckets[i]) {
            c.buckets[i] = e->chain;
            e->chain = fresh[e->hash & (n - 1)];
            fresh[e->hash & (n - 1)] = e;
        }
    }
    free(c.buckets);
    c.buckets = fresh;
    c.nbuckets = n;
    return true;
}

// Flushes cost O(1) on the request path whatever the cache holds: the
// generation moves on and every older entry is dead from then on.
void flush_all(backend *b) {
    stats_count(STATS_CACHE_FLUSHES);
    b->lookups.all_generation++;
    b->lookups.source_generation++;
}

void flush_service(backend *b, service_kind svc) {
    stats_count(STATS_CACHE_FLUSHES);
    b->lookups.generations[service_slot(svc)]++;
}

int64_t ttl_ms(const backend *b, const cache_entry *e) {
    return static_cast<int64_t>(e->found ? b->settings.cache_ttl : b->settings.cache_negative_ttl) *
           1000;
}

// A new entry for ikey, not yet indexed: the record, its key and a
// lookup's value in one allocation. Null without the memory.
cache_entry *make_entry(const cache &c, const char *ikey, bool found, const char *value) {
    size_t klen = strlen(ikey) + 1;
    size_t vlen = value != nullptr && found ? strlen(value) + 1 : 0;
    auto *e = static_cast<cache_entry *>(malloc(sizeof(cache_entry) + klen + vlen));
    if (e == nullptr)
        return nullptr;
    char *text = reinterpret_cast<char *>(e + 1);
    memcpy(text, ikey, klen);
    if (vlen > 0)
        memcpy(text + klen, value, vlen);
    e->key = text;
    e->hash = hash_of(text);
    e->stored_at = exec_now_ms();
    e->generation = generation_of(c, text[0]);
    e->epoch = c.epoch;
    e->found = found;
    e->from_lookup = value != nullptr;
    e->value = vlen > 0 ? text + klen : "";
    e->newer = e->older = e->chain = nullptr;
    return e;
}

// Serves e, with a lookup's value copied into buf.
cache_result serve(cache &c, cache_entry *e, bool lookup, char *buf, uint64_t size) {
    if (lookup && e->found && strlcpy(buf, e->value, size) >= size)
        return CACHE_MISS;
    unlink_lru(c, e);
    push_newest(c, e);
    return e->found ? CACHE_FOUND : CACHE_NOT_FOUND;
}

// The entry that may answer svc's key as fresh, or null; ibuf holds its
// index key after.
cache_entry *fresh_entry(backend *b, service_kind svc, const char *key, bool lookup,
                         index_buf &ibuf) {
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
    if (e == nullptr || e->epoch != b->lookups.epoch || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e))
        return nullptr;
    return e;
}

} // namespace

bool cache_enabled(const backend *b, service_kind svc) {
    return b->settings.cache_size > 0 && (b->settings.cache_services & svc) != 0 &&
           service_slot(svc) >= 0;
}

uint64_t cache_count(const backend *b) {
    return b->lookups.count;
}

void cache_apply(backend *b, const char *payload) {
    stats_count(STATS_NOTIFICATIONS);
    const char *colon = strchr(payload, ':');
    size_t name_len = colon != nullptr ? static_cast<size_t>(colon - payload) : strlen(payload);
    service_kind svc = service_from_name(std::string(payload, name_len).c_str());
    if (svc == 0) {
        // An empty payload, or one we do not understand: the safe side.
        flush_all(b);
        return;
    }
    if (svc == SVC_SOURCE)
        b->lookups.source_generation++;
    if (colon == nullptr) {
        flush_service(b, svc);
        return;
    }
    // The key is everything after the first ":", so IPv6 keys work.
    index_buf ibuf;
    if (cache_entry *e = find(b->lookups, index_key(svc, colon + 1, ibuf)); e != nullptr)
        drop(b->lookups, e);
}

void cache_listening(backend *b) {
    b->lookups.epoch++;
    // Notifications may have been missed, "source" among them.
    b->lookups.source_generation++;
}

uint32_t cache_source_generation(const backend *b) {
    return b->lookups.source_generation;
}

bool cache_could_answer(backend *b, service_kind svc, const char *key, bool lookup) {
    index_buf ibuf;
    return fresh_entry(b, svc, key, lookup, ibuf) != nullptr;
}

namespace {

// cache_fallback without the counting.
cache_result fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                      uint64_t size) {
    index_buf ibuf;
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
    if (e == nullptr || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e) + int64_t{b->settings.cache_stale} * 1000)
        return CACHE_MISS;
    cache_result r = serve(b->lookups, e, lookup, buf, size);
    if (r == CACHE_MISS)
        return CACHE_MISS;
    if (!b->lookups.outage_logged)
        warn_msg("warn: database unavailable; serving cached answers up to %d s past their "
                 "time",
                 b->settings.cache_stale);
    b->lookups.outage_logged = true;
    return r;
}

} // namespace

cache_result cache_answer(backend *b, service_kind svc, const char *key, bool lookup, bool fresh,
                          char *buf, uint64_t size, cache_ticket *ticket) {
    cache_result r = CACHE_MISS;
    // The listener's read may have flushed the entry that could answer.
    index_buf ibuf;
    if (fresh)
        if (cache_entry *e = fresh_entry(b, svc, key, lookup, ibuf); e != nullptr)
            r = serve(b->lookups, e, lookup, buf, size);
    stats_cache(service_slot(svc), r != CACHE_MISS);
    // What the database says next is as good as what the cache knew now:
    // a LISTEN answered while the statement runs may have missed a change
    // it read around.
    if (ticket != nullptr)
        ticket->epoch = b->lookups.epoch;
    return r;
}

cache_result cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                            uint64_t size) {
    cache_result r = fallback(b, svc, key, lookup, buf, size);
    if (r != CACHE_MISS)
        stats_count(STATS_CACHE_STALE);
    return r;
}

void cache_store(backend *b, service_kind svc, const char *key, bool found, const char *value,
                 const cache_ticket *ticket) {
    cache &c = b->lookups;
    c.outage_logged = false;
    index_buf ibuf;
    const char *ikey = index_key(svc, key, ibuf);
    // An optional cache does without an entry rather than end the process.
    cache_entry *e = ikey != nullptr ? make_entry(c, ikey, found, value) : nullptr;
    if (e == nullptr || (c.buckets == nullptr && !grow(c))) {
        free(e);
        return;
    }
    if (ticket != nullptr)
        e->epoch = ticket->epoch;
    if (cache_entry *old = find(c, e->key); old != nullptr)
        drop(c, old);
    if (c.count >= c.nbuckets)
        (void)grow(c);
    cache_entry **bucket = bucket_of(c, e->hash);
    e->chain = *bucket;
    *bucket = e;
    c.count++;
    push_newest(c, e);
    stats_entries(c.count);
    while (c.count > static_cast<uint64_t>(b->settings.cache_size)) {
        stats_count(STATS_CACHE_EVICTIONS);
        drop(c, c.oldest);
    }
    // A notification that says it changed meanwhile is read before the
    // entry can answer: the listener is read first, and the waits of a
    // request never apply one.
}

void cache_free(backend *b) {
    while (b->lookups.oldest != nullptr)
        drop(b->lookups, b->lookups.oldest);
    free(b->lookups.buckets);
    b->lookups.buckets = nullptr;
    b->lookups.nbuckets = 0;
}
