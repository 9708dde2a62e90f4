#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"
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
    buf[0] = static_cast<char>('0' + service_slot(svc));
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
    stats_count(STATS_CACHE_FLUSHES);
    b->lookups.all_generation++;
    b->sources.reload = true;
}

void flush_service(backend *b, service_kind svc) {
    stats_count(STATS_CACHE_FLUSHES);
    b->lookups.generations[service_slot(svc)]++;
}

int64_t ttl_ms(const backend *b, const cache_entry *e) {
    return static_cast<int64_t>(e->found ? b->lookups.ttl : b->lookups.negative_ttl) * 1000;
}

// A new entry for ikey, not yet indexed: the record, its key and a
// lookup's value in one allocation. Null without the memory.
cache_entry *make_entry(const cache &c, const char *ikey, int32_t result, const char *value) {
    size_t klen = strlen(ikey) + 1;
    size_t vlen = value != nullptr && result == 1 ? strlen(value) + 1 : 0;
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
    e->found = result == 1;
    e->from_lookup = value != nullptr;
    e->value = vlen > 0 ? text + klen : "";
    e->newer = e->older = e->chain = nullptr;
    return e;
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
    while (PGnotify *n = PQnotifies(b->lookups.listener)) {
        cache_apply(b, n->extra);
        PQfreemem(n);
    }
}

// A listening connection that has said nothing for this long is asked for
// a sign of life (an empty query, not waited for); one that then says
// nothing until SIGN_LOST_MS is lost.
constexpr int64_t SIGN_ASK_MS = 1000;
constexpr int64_t SIGN_LOST_MS = 2000;
// A listening connection that went is tried again after this long, and an
// attempt that takes longer than LISTEN_CONNECT_MS is given up.
constexpr int64_t LISTEN_RETRY_MS = 1000;
constexpr int64_t LISTEN_CONNECT_MS = 5000;
// Reads of the listening connection before a cached answer: a flood is
// read in bounded slices, and entries do not answer until it is read.
constexpr int LISTEN_SLICES = 64;

// Ends the listening connection, applying what it already read; the next
// attempt is due after `retry_ms`.
void listener_close(backend *b, cache_listen_state next, int64_t retry_ms) {
    cache &c = b->lookups;
    if (c.listener != nullptr) {
        apply_pending(b);
        exec_finish(c.listener);
        c.listener = nullptr;
    }
    c.listen_state = next;
    c.ping_pending = false;
    c.behind = false;
    c.since = exec_now_ms() + retry_ms;
}

// Logs the listening connection's trouble once until it listens again and
// closes it; the next attempt is due after retry_ms.
void listener_failed(backend *b, const char *what, const char *why, int64_t retry_ms) {
    if (!b->lookups.listen_logged)
        warn_msg("warn: LISTEN connection %s: %s; cached entries are asked anew until it "
                 "listens again",
                 what, why);
    b->lookups.listen_logged = true;
    listener_close(b, LISTEN_DOWN, retry_ms);
}

const char *channel_of(backend *b) {
    return static_cast<const char *>(dict_find(&b->config, "cache_listen"));
}

// A second session to the server statements run on, named after theirs.
void listener_start(backend *b) {
    cache &c = b->lookups;
    c.listener = exec_connect_beside(b->conn, "-listen");
    c.connecting = PGRES_POLLING_WRITING;
    c.listen_state = LISTEN_CONNECTING;
    c.since = exec_now_ms();
}

// Sends LISTEN once the connection is made.
void listener_connecting(backend *b, int64_t now) {
    cache &c = b->lookups;
    c.connecting = exec_connect_step(c.listener, c.connecting);
    if (c.connecting == PGRES_POLLING_OK) {
        PQsetnonblocking(c.listener, 1);
        const char *channel = channel_of(b);
        char *ident = PQescapeIdentifier(c.listener, channel, strlen(channel));
        bool sent = ident != nullptr &&
                    PQsendQuery(c.listener, (std::string("LISTEN ") + ident).c_str()) == 1;
        PQfreemem(ident);
        if (!sent) {
            listener_failed(b, "failed", PQerrorMessage(c.listener), LISTEN_RETRY_MS);
            return;
        }
        (void)PQflush(c.listener);
        c.listen_state = LISTEN_ASKING;
        c.last_sign = now;
    } else if (c.connecting == PGRES_POLLING_FAILED) {
        listener_failed(b, "failed",
                        c.listener != nullptr ? PQerrorMessage(c.listener) : "out of memory",
                        LISTEN_RETRY_MS);
    } else if (now - c.since >= LISTEN_CONNECT_MS) {
        listener_failed(b, "failed", "no answer in time", LISTEN_RETRY_MS);
    }
}

// The answer to LISTEN: from now on every change is heard, and what was
// stored before may have missed one, so it serves only as a stale
// fallback. A hot standby refuses LISTEN; the cache then holds entries
// for their TTL alone.
void listened(backend *b, const PGresult *res) {
    cache &c = b->lookups;
    if (PQresultStatus(res) == PGRES_COMMAND_OK) {
        c.listen_state = LISTEN_ON;
        c.listen_logged = false;
        c.epoch++;
        b->sources.reload = true;
        return;
    }
    if (!c.listen_logged)
        warn_msg("warn: LISTEN %s refused, the cache keeps to its TTLs: %s", channel_of(b),
                 PQresultErrorMessage(res));
    c.listen_logged = true;
    listener_close(b, LISTEN_REFUSED, 0);
}

// Reads the answers that came: LISTEN's, or a sign of life's.
void read_answers(backend *b) {
    cache &c = b->lookups;
    while (c.listener != nullptr && PQisBusy(c.listener) == 0) {
        pg_result_ptr r{PQgetResult(c.listener)};
        if (!r) {
            c.ping_pending = false;
            return;
        }
        if (c.listen_state == LISTEN_ASKING)
            listened(b, r.get());
    }
}

// Reads what the listening connection holds, in at most LISTEN_SLICES
// reads, and applies it; `behind` says whether more is waiting.
void listener_read(backend *b, int64_t now) {
    cache &c = b->lookups;
    for (int reads = 0; c.listener != nullptr; reads++) {
        pollfd p{PQsocket(c.listener), POLLIN, 0};
        c.behind = poll(&p, 1, 0) == 1;
        if (!c.behind || reads == LISTEN_SLICES)
            return;
        if (PQconsumeInput(c.listener) == 0 || exec_lost(c.listener)) {
            // A lost one is tried again at once.
            listener_failed(b, "lost", PQerrorMessage(c.listener), 0);
            return;
        }
        c.last_sign = now;
        read_answers(b);
        if (c.listener != nullptr)
            apply_pending(b);
    }
}

// Asks for a sign of life when one is due; closes a connection that gave
// none in time.
void keep_alive(backend *b, int64_t now) {
    cache &c = b->lookups;
    if (c.listen_state != LISTEN_ON)
        return;
    if (now - c.last_sign >= SIGN_LOST_MS) {
        warn_msg("warn: LISTEN connection silent for %lld ms; closing it",
                 static_cast<long long>(now - c.last_sign));
        listener_close(b, LISTEN_DOWN, 0);
        return;
    }
    if (c.ping_pending || now - c.last_sign < SIGN_ASK_MS)
        return;
    if (PQsendQuery(c.listener, "") == 1) {
        c.ping_pending = true;
        (void)PQflush(c.listener);
    }
}

// Moves the listening connection on as far as it can without waiting:
// a new attempt when one is due (only beside a connection in service,
// whose server it goes to), its connect, its reads and signs of life.
void listener_step(backend *b) {
    cache &c = b->lookups;
    if (!c.listen_wanted)
        return;
    int64_t now = exec_now_ms();
    switch (c.listen_state) {
    case LISTEN_DOWN:
        if (b->conn != nullptr && now >= c.since)
            listener_start(b);
        break;
    case LISTEN_CONNECTING:
        listener_connecting(b, now);
        break;
    case LISTEN_ASKING:
    case LISTEN_ON:
        listener_read(b, now);
        keep_alive(b, now);
        break;
    case LISTEN_REFUSED:
        break;
    }
}

// True when entries may answer as fresh: notifications keep them true, so
// the listening connection must be up, read to its end and alive; or the
// cache keeps to its TTLs, having nothing to listen with.
bool coherent(const cache &c, int64_t now) {
    if (!c.listen_wanted || c.listen_state == LISTEN_REFUSED)
        return true;
    return c.listen_state == LISTEN_ON && !c.behind && now - c.last_sign < SIGN_LOST_MS;
}

} // namespace

bool cache_enabled(const backend *b, service_kind svc) {
    return b->lookups.size > 0 && (b->lookups.services & svc) != 0 && service_slot(svc) >= 0;
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
        b->sources.reload = true;
    if (colon == nullptr) {
        flush_service(b, svc);
        return;
    }
    // The key is everything after the first ":", so IPv6 keys work.
    index_buf ibuf;
    if (cache_entry *e = find(b->lookups, index_key(svc, colon + 1, ibuf)); e != nullptr)
        drop(b->lookups, e);
}

void cache_disconnect(backend *b) {
    listener_close(b, LISTEN_DOWN, 0);
}

void cache_poll(backend *b) {
    listener_step(b);
}

int cache_idle_fd(const backend *b, int *timeout_ms, short *events) {
    const cache &c = b->lookups;
    *timeout_ms = -1;
    *events = POLLIN;
    if (!c.listen_wanted)
        return -1;
    int64_t now = exec_now_ms();
    auto until = [&](int64_t due) {
        *timeout_ms = static_cast<int>(std::max<int64_t>(due - now, 0));
    };
    switch (c.listen_state) {
    case LISTEN_DOWN:
        if (b->conn != nullptr)
            until(c.since);
        return -1;
    case LISTEN_CONNECTING:
        *events = c.connecting == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        until(c.since + LISTEN_CONNECT_MS);
        return PQsocket(c.listener);
    case LISTEN_ASKING:
    case LISTEN_ON:
        // Entries answer as fresh only while the connection shows signs
        // of life, so while they are held it is asked for one each second.
        if (c.count > 0 && c.listen_state == LISTEN_ON)
            until(c.last_sign + (c.ping_pending ? SIGN_LOST_MS : SIGN_ASK_MS));
        return PQsocket(c.listener);
    case LISTEN_REFUSED:
        break;
    }
    return -1;
}

bool cache_listen_wait(backend *b) {
    cache &c = b->lookups;
    int64_t until = exec_now_ms() + LISTEN_CONNECT_MS;
    while (c.listen_wanted &&
           (c.listen_state == LISTEN_CONNECTING || c.listen_state == LISTEN_ASKING)) {
        int timeout = 0;
        short events = 0;
        int fd = cache_idle_fd(b, &timeout, &events);
        if (fd < 0 || !exec_wait(c.listener, events, "listening", until)) {
            if (exec_expired())
                return false;
            listener_failed(b, "failed", "no answer in time", LISTEN_RETRY_MS);
            break;
        }
        listener_step(b);
    }
    return true;
}

namespace {

// cache_answer without the counting.
int32_t answer(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
               uint64_t size) {
    index_buf ibuf;
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
    if (e == nullptr || e->epoch != b->lookups.epoch || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e))
        return CACHE_ASK;
    // Coherent by notifications only while the listening connection is
    // known to be good and read to its end; otherwise the request goes to
    // the database. Only an entry that could answer is worth the read: a
    // miss asks the database anyway.
    if (b->lookups.listen_wanted) {
        listener_step(b);
        if (!coherent(b->lookups, exec_now_ms()))
            return CACHE_ASK;
        // The read may have flushed it.
        e = find(b->lookups, ibuf);
        if (e == nullptr || e->epoch != b->lookups.epoch)
            return CACHE_ASK;
    }
    return serve(b->lookups, e, lookup, buf, size);
}

// cache_fallback without the counting.
int32_t fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                 uint64_t size) {
    index_buf ibuf;
    cache_entry *e = find(b->lookups, index_key(svc, key, ibuf));
    if (e == nullptr || (lookup && !e->from_lookup) ||
        exec_now_ms() - e->stored_at >= ttl_ms(b, e) + int64_t{b->lookups.stale} * 1000)
        return -1;
    int32_t r = serve(b->lookups, e, lookup, buf, size);
    if (r < 0)
        return -1;
    if (!b->lookups.outage_logged)
        warn_msg("warn: database unavailable; serving cached answers up to %d s past their "
                 "time",
                 b->lookups.stale);
    b->lookups.outage_logged = true;
    return r;
}

} // namespace

int32_t cache_answer(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                     uint64_t size) {
    int32_t r = answer(b, svc, key, lookup, buf, size);
    stats_cache(service_slot(svc), r >= 0);
    return r;
}

int32_t cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                       uint64_t size) {
    int32_t r = fallback(b, svc, key, lookup, buf, size);
    if (r >= 0)
        stats_count(STATS_CACHE_STALE);
    return r;
}

void cache_store(backend *b, service_kind svc, const char *key, int32_t result, const char *value) {
    cache &c = b->lookups;
    c.outage_logged = false;
    index_buf ibuf;
    const char *ikey = index_key(svc, key, ibuf);
    // An optional cache does without an entry rather than end the process.
    cache_entry *e = ikey != nullptr ? make_entry(c, ikey, result, value) : nullptr;
    if (e == nullptr || (c.buckets == nullptr && !grow(c))) {
        free(e);
        return;
    }
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
    while (c.count > static_cast<uint64_t>(c.size)) {
        stats_count(STATS_CACHE_EVICTIONS);
        drop(c, c.oldest);
    }
    // A notification that says it changed meanwhile is read before the
    // entry can answer: cache_answer reads the listening connection first.
}

void cache_connected(backend *b) {
    cache &c = b->lookups;
    listener_close(b, LISTEN_DOWN, 0);
    // Without a cache nothing could use what LISTEN hears, and unread
    // notifications would pile up in memory.
    const char *channel = channel_of(b);
    c.listen_wanted =
        channel != nullptr && b->lookups.size > 0 && (b->lookups.services & SVC_ALL) != 0;
    // Prepared statements are off for a transaction pooler, which passes
    // LISTEN to whichever server connection is free and notifications to
    // no one: the cache keeps to its TTLs.
    if (c.listen_wanted && b->unprepared) {
        if (!c.listen_logged)
            warn_msg("warn: LISTEN %s skipped with prepared_statements off (a transaction pooler "
                     "does not pass notifications on); the cache keeps to its TTLs",
                     channel);
        c.listen_logged = true;
        c.listen_wanted = false;
    }
    listener_step(b);
}

void cache_free(backend *b) {
    listener_close(b, LISTEN_DOWN, 0);
    while (b->lookups.oldest != nullptr)
        drop(b->lookups, b->lookups.oldest);
    free(b->lookups.buckets);
    b->lookups.buckets = nullptr;
    b->lookups.nbuckets = 0;
}
