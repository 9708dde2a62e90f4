#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/util.h"

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
    int64_t stored_at; // exec_now_ms()
    uint32_t epoch;
    bool found;
    bool from_lookup; // only then may it answer a lookup
    const char *value;
};

namespace {

// Index keys longer than this are not cached; they are rare, and the key is
// built in a fixed buffer so that a hit allocates nothing.
constexpr size_t KEY_MAX = 1024;
char probe_key[KEY_MAX + 2];

const char *index_key(service_kind svc, const char *key) {
    size_t len = strlen(key);
    if (len > KEY_MAX)
        return nullptr;
    probe_key[0] = static_cast<char>('0' + backend_slot(svc));
    memcpy(probe_key + 1, key, len + 1);
    return probe_key;
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
    unlink_lru(c, e);
    free(e);
}

cache_entry *find(cache &c, const char *ikey) {
    if (ikey == nullptr || c.buckets == nullptr)
        return nullptr;
    uint64_t hash = hash_of(ikey);
    for (cache_entry *e = *bucket_of(c, hash); e != nullptr; e = e->chain)
        if (e->hash == hash && strcmp(e->key, ikey) == 0)
            return e;
    return nullptr;
}

// Keeps the chains short: the table doubles when it holds as many entries
// as buckets, so each lookup costs about one probe, whatever the size.
void grow(cache &c) {
    uint64_t n = c.nbuckets == 0 ? 1024 : c.nbuckets * 2;
    auto **fresh = static_cast<cache_entry **>(calloc_or_die(n, sizeof(cache_entry *), "cache"));
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
}

void flush_all(backend *b) {
    while (b->lookups.oldest != nullptr)
        drop(b->lookups, b->lookups.oldest);
    b->source_reload = true;
}

void flush_service(backend *b, service_kind svc) {
    char slot = static_cast<char>('0' + backend_slot(svc));
    for (cache_entry *e = b->lookups.newest, *next; e != nullptr; e = next) {
        next = e->older;
        if (e->key[0] == slot)
            drop(b->lookups, e);
    }
}

// The service named by the first len bytes of text, or 0.
service_kind service_named(const char *text, size_t len) {
    for (int slot = 0; slot < 9; slot++) {
        service_kind svc = 1u << slot;
        const char *name = service_to_name(svc);
        if (strlen(name) == len && memcmp(name, text, len) == 0)
            return svc;
    }
    return 0;
}

int64_t ttl_ms(const backend *b, const cache_entry *e) {
    return static_cast<int64_t>(e->found ? b->cache_ttl : b->cache_negative_ttl) * 1000;
}

// Serves e: 1 or 0, with a lookup's value copied into buf.
int32_t serve(cache &c, cache_entry *e, bool lookup, char *buf, uint64_t size) {
    if (lookup && e->found && strlcpy(buf, e->value, size) >= size)
        return -2;
    unlink_lru(c, e);
    push_newest(c, e);
    return e->found ? 1 : 0;
}

// Applies the notifications libpq has already read.
void apply_pending(backend *b) {
    while (PGnotify *n = PQnotifies(b->conn)) {
        cache_apply(b, n->extra);
        PQfreemem(n);
    }
}

} // namespace

bool cache_enabled(const backend *b, service_kind svc) {
    return b->cache_size > 0 && (b->cache_services & svc) != 0 && backend_slot(svc) >= 0;
}

uint64_t cache_count(const backend *b) {
    return b->lookups.count;
}

void cache_apply(backend *b, const char *payload) {
    const char *colon = strchr(payload, ':');
    size_t name_len = colon != nullptr ? static_cast<size_t>(colon - payload) : strlen(payload);
    service_kind svc = *payload != '\0' ? service_named(payload, name_len) : 0;
    if (svc == 0) {
        // An empty payload, or one we do not understand: the safe side.
        flush_all(b);
        return;
    }
    if (svc == SVC_SOURCE)
        b->source_reload = true;
    if (colon == nullptr) {
        flush_service(b, svc);
        return;
    }
    // The key is everything after the first ":", so IPv6 keys work.
    if (cache_entry *e = find(b->lookups, index_key(svc, colon + 1)); e != nullptr)
        drop(b->lookups, e);
}

bool cache_poll(backend *b) {
    if (!b->lookups.listening || b->conn == nullptr)
        return true;
    if (PQconsumeInput(b->conn) == 0 || exec_lost(b->conn)) {
        backend_close(b);
        return false;
    }
    apply_pending(b);
    return true;
}

int32_t cache_answer(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                     uint64_t size) {
    cache_entry *e = find(b->lookups, index_key(svc, key));
    if (e == nullptr || e->epoch != b->lookups.epoch || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e))
        return -2;
    // Coherent by notifications only while the listening connection is
    // known to be good; a connection found closed is lost, and the request
    // goes to the database, which reconnects. Only an entry that could
    // answer is worth the read: a miss asks the database anyway, and the
    // notifications that came meanwhile arrive with its answer.
    if (b->lookups.listening) {
        if (b->conn == nullptr || !cache_poll(b))
            return -2;
        // The poll may have flushed it.
        e = find(b->lookups, index_key(svc, key));
        if (e == nullptr || e->epoch != b->lookups.epoch)
            return -2;
    }
    return serve(b->lookups, e, lookup, buf, size);
}

int32_t cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                       uint64_t size) {
    cache_entry *e = find(b->lookups, index_key(svc, key));
    if (e == nullptr || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e) + int64_t{b->cache_stale} * 1000)
        return -1;
    int32_t r = serve(b->lookups, e, lookup, buf, size);
    if (r < 0)
        return -1;
    if (!b->lookups.outage_logged)
        warn_msg("warn: database unavailable; serving cached answers up to %d s past their "
                 "time",
                 b->cache_stale);
    b->lookups.outage_logged = true;
    return r;
}

void cache_store(backend *b, service_kind svc, const char *key, int32_t result, const char *value) {
    cache &c = b->lookups;
    c.outage_logged = false;
    const char *ikey = index_key(svc, key);
    if (ikey != nullptr) {
        size_t klen = strlen(ikey) + 1;
        size_t vlen = value != nullptr && result == 1 ? strlen(value) + 1 : 0;
        auto *e = static_cast<cache_entry *>(
            malloc_or_die(sizeof(cache_entry) + klen + vlen, "cache_store"));
        char *text = reinterpret_cast<char *>(e + 1);
        memcpy(text, ikey, klen);
        if (vlen > 0)
            memcpy(text + klen, value, vlen);
        e->key = text;
        e->hash = hash_of(text);
        e->stored_at = exec_now_ms();
        e->epoch = c.epoch;
        e->found = result == 1;
        e->from_lookup = value != nullptr;
        e->value = vlen > 0 ? text + klen : "";
        if (cache_entry *old = find(c, text); old != nullptr)
            drop(c, old);
        if (c.count >= c.nbuckets)
            grow(c);
        cache_entry **bucket = bucket_of(c, e->hash);
        e->chain = *bucket;
        *bucket = e;
        c.count++;
        push_newest(c, e);
        while (c.count > static_cast<uint64_t>(b->cache_size))
            drop(c, c.oldest);
    }
    // What arrived with the answer may already say it changed: applied
    // after storing, it flushes rather than being lost.
    if (c.listening && b->conn != nullptr)
        apply_pending(b);
}

std::string cache_connected(backend *b) {
    auto *channel = static_cast<const char *>(dict_find(&b->config, "cache_listen"));
    b->lookups.listening = false;
    if (channel == nullptr)
        return "";
    // Prepared statements are off for a transaction pooler, which passes
    // LISTEN to whichever server connection is free and notifications to
    // no one: the cache keeps to its TTLs.
    if (b->unprepared) {
        if (!b->lookups.listen_logged)
            warn_msg("warn: LISTEN %s skipped with prepared_statements off (a transaction pooler "
                     "does not pass notifications on); the cache keeps to its TTLs",
                     channel);
        b->lookups.listen_logged = true;
        return "";
    }
    // Whatever changed while no connection listened went unheard.
    b->lookups.epoch++;
    b->source_reload = true;
    char *ident = PQescapeIdentifier(b->conn, channel, strlen(channel));
    if (ident == nullptr) {
        warn_msg("warn: LISTEN %s: %s", channel, PQerrorMessage(b->conn));
        return "";
    }
    std::string sql = std::string("LISTEN ") + ident;
    PQfreemem(ident);
    return sql;
}

bool cache_listened(backend *b, const PGresult *res) {
    if (PQresultStatus(res) == PGRES_COMMAND_OK) {
        b->lookups.listening = true;
        b->lookups.listen_logged = false;
        return true;
    }
    if (res == nullptr || exec_expired() || exec_lost(b->conn))
        return false;
    // A hot standby refuses LISTEN; the cache then holds entries for their
    // TTL alone.
    auto *channel = static_cast<const char *>(dict_find(&b->config, "cache_listen"));
    if (!b->lookups.listen_logged)
        warn_msg("warn: LISTEN %s refused, the cache keeps to its TTLs: %s", channel,
                 PQresultErrorMessage(res));
    b->lookups.listen_logged = true;
    return true;
}

void cache_free(backend *b) {
    while (b->lookups.oldest != nullptr)
        drop(b->lookups, b->lookups.oldest);
    free(b->lookups.buckets);
    b->lookups.buckets = nullptr;
    b->lookups.nbuckets = 0;
}
