#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <poll.h>
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
// An entry's index key: the slot's byte, then the request key.
using index_buf = char[KEY_MAX + 2];

// The index key of svc and key, built in the caller's buffer; null for a
// key too long to cache.
const char *index_key(service_kind svc, const char *key, index_buf &buf) {
    size_t len = strlen(key);
    if (len > KEY_MAX)
        return nullptr;
    buf[0] = static_cast<char>('0' + backend_slot(svc));
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
    unlink_lru(c, e);
    free(e);
}

// The generation an entry of the slot whose byte starts ikey is stored
// under now: a flush of everything or of the service moves it on.
uint64_t generation_of(const cache &c, char slot_byte) {
    return (uint64_t{c.all_generation} << 32) | c.generations[slot_byte - '0'];
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
    b->lookups.all_generation++;
    b->source_reload = true;
}

void flush_service(backend *b, service_kind svc) {
    b->lookups.generations[backend_slot(svc)]++;
}

int64_t ttl_ms(const backend *b, const cache_entry *e) {
    return static_cast<int64_t>(e->found ? b->cache_ttl : b->cache_negative_ttl) * 1000;
}

// Serves e: 1 or 0, with a lookup's value copied into buf.
int32_t serve(cache &c, cache_entry *e, bool lookup, char *buf, uint64_t size) {
    if (lookup && e->found && strlcpy(buf, e->value, size) >= size)
        return CACHE_ASK;
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

// A listening connection that has said nothing for this long is asked for
// a sign of life (an empty query, not waited for); one that then says
// nothing until SIGN_LOST_MS is lost.
constexpr int64_t SIGN_ASK_MS = 1000;
constexpr int64_t SIGN_LOST_MS = 2000;

// Asks for a sign of life when one is due; closes a connection that gave
// none in time. False when the connection is gone.
bool keep_alive(backend *b, int64_t now) {
    cache &c = b->lookups;
    if (now - c.last_sign >= SIGN_LOST_MS) {
        warn_msg("warn: LISTEN connection silent for %lld ms; closing it",
                 static_cast<long long>(now - c.last_sign));
        backend_close(b);
        return false;
    }
    if (c.ping_pending || now - c.last_sign < SIGN_ASK_MS)
        return true;
    if (PQsendQuery(b->conn, "") == 1) {
        c.ping_pending = true;
        (void)PQflush(b->conn);
    }
    return true;
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
    service_kind svc = service_from_name(std::string(payload, name_len).c_str());
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
    index_buf ibuf;
    if (cache_entry *e = find(b->lookups, index_key(svc, colon + 1, ibuf)); e != nullptr)
        drop(b->lookups, e);
}

void cache_drain(backend *b) {
    if (b->lookups.listening && b->conn != nullptr)
        apply_pending(b);
}

bool cache_poll(backend *b) {
    cache &c = b->lookups;
    if (!c.listening || b->conn == nullptr)
        return true;
    // Everything the socket holds is read, so that nothing delivered
    // before the answer is left unread; a bounded number of reads, as a
    // flood must not hold the request.
    for (int reads = 0; reads < 64; reads++) {
        pollfd p{PQsocket(b->conn), POLLIN, 0};
        if (poll(&p, 1, 0) != 1)
            break;
        if (PQconsumeInput(b->conn) == 0 || exec_lost(b->conn)) {
            backend_close(b);
            return false;
        }
        c.last_sign = exec_now_ms();
        // The answer to a sign-of-life query, read off as it comes.
        while (c.ping_pending && PQisBusy(b->conn) == 0) {
            PGresult *r = PQgetResult(b->conn);
            if (r == nullptr)
                c.ping_pending = false;
            PQclear(r);
        }
        apply_pending(b);
    }
    return true;
}

bool cache_settle(backend *b) {
    cache &c = b->lookups;
    if (!c.ping_pending || b->conn == nullptr)
        return true;
    c.ping_pending = false;
    if (!exec_settle(b->conn, "waiting for the server"))
        return false;
    c.last_sign = exec_now_ms();
    return true;
}

void cache_heard(backend *b) {
    if (!b->lookups.listening || b->conn == nullptr)
        return;
    b->lookups.last_sign = exec_now_ms();
    apply_pending(b);
}

int cache_idle_fd(const backend *b, int *timeout_ms) {
    const cache &c = b->lookups;
    *timeout_ms = -1;
    if (!c.listening || b->conn == nullptr)
        return -1;
    // Entries answer as fresh only while the connection shows signs of
    // life, so while they are held it is asked for one each second.
    if (c.count > 0) {
        int64_t due = c.last_sign + (c.ping_pending ? SIGN_LOST_MS : SIGN_ASK_MS);
        *timeout_ms = static_cast<int>(std::max<int64_t>(due - exec_now_ms(), 0));
    }
    return PQsocket(b->conn);
}

void cache_idle(backend *b) {
    if (!cache_poll(b) || b->conn == nullptr)
        return;
    keep_alive(b, exec_now_ms());
}

int32_t cache_answer(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                     uint64_t size) {
    index_buf ibuf;
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
    if (e == nullptr || e->epoch != b->lookups.epoch || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e))
        return CACHE_ASK;
    // Coherent by notifications only while the listening connection is
    // known to be good; a connection found closed is lost, and the request
    // goes to the database, which reconnects. Only an entry that could
    // answer is worth the read: a miss asks the database anyway, and the
    // notifications that came meanwhile arrive with its answer.
    if (b->lookups.listening) {
        if (b->conn == nullptr || !cache_poll(b))
            return CACHE_ASK;
        int64_t now = exec_now_ms();
        if (!keep_alive(b, now) || now - b->lookups.last_sign >= SIGN_LOST_MS)
            return CACHE_ASK;
        // The poll may have flushed it.
        e = find(b->lookups, ibuf);
        if (e == nullptr || e->epoch != b->lookups.epoch)
            return CACHE_ASK;
    }
    return serve(b->lookups, e, lookup, buf, size);
}

int32_t cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                       uint64_t size) {
    index_buf ibuf;
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
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
    index_buf ibuf;
    const char *ikey = index_key(svc, key, ibuf);
    size_t klen = ikey != nullptr ? strlen(ikey) + 1 : 0;
    size_t vlen = value != nullptr && result == 1 ? strlen(value) + 1 : 0;
    // An optional cache does without an entry rather than end the process.
    auto *e = ikey != nullptr
                  ? static_cast<cache_entry *>(malloc(sizeof(cache_entry) + klen + vlen))
                  : nullptr;
    if (e != nullptr && c.buckets == nullptr && !grow(c)) {
        free(e);
        e = nullptr;
    }
    if (e != nullptr) {
        char *text = reinterpret_cast<char *>(e + 1);
        memcpy(text, ikey, klen);
        if (vlen > 0)
            memcpy(text + klen, value, vlen);
        e->key = text;
        e->hash = hash_of(text);
        e->stored_at = exec_now_ms();
        e->generation = generation_of(c, text[0]);
        e->epoch = c.epoch;
        e->found = result == 1;
        e->from_lookup = value != nullptr;
        e->value = vlen > 0 ? text + klen : "";
        if (cache_entry *old = find(c, text); old != nullptr)
            drop(c, old);
        if (c.count >= c.nbuckets)
            (void)grow(c);
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
    // Without a cache nothing could use what LISTEN hears, and unread
    // notifications would pile up in memory.
    if (channel == nullptr || b->cache_size == 0 || (b->cache_services & SVC_ALL) == 0)
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
        b->lookups.last_sign = exec_now_ms();
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
