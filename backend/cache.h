// The lookup cache: the database's answers kept by service and key, in a
// hash table chained through the entries and a list from the most to the
// least recently used, with flushes by generation so that a notification
// costs O(1) whatever the cache holds. It owns the record's lookups. It
// never touches the network: whether notifications keep its entries true
// is the listener's to say (listen_fresh), and its caller asks before an
// entry answers. Notifications reach it through cache_apply alone.
//
// Results: a cache_result, or a bool.
#pragma once

#include "proto/services.h"

#include <cstdint>

struct backend;
struct cache_entry;

// Zero-filled is empty; how large and how long comes from the settings.
struct cache {
    cache_entry **buckets; // null until the first entry
    uint64_t nbuckets;     // a power of two
    uint64_t count;
    cache_entry *newest;                 // most recently used
    cache_entry *oldest;                 // evicted first
    uint32_t epoch;                      // entries of an older epoch are stale fallbacks only
    uint32_t all_generation;             // moved on by a flush of everything
    uint32_t generations[SERVICE_COUNT]; // per service, moved on by its flush
    uint32_t source_generation;          // moved on when the source list may have changed
    bool outage_logged;                  // serving stale entries in this outage has been logged
};

enum cache_result { CACHE_MISS, CACHE_FOUND, CACHE_NOT_FOUND };

// What a request that asked the database stores its answer under: the
// cache's epoch when it asked.
struct cache_ticket {
    uint32_t epoch;
};

// Whether b caches svc's answers.
bool cache_enabled(const backend *b, service_kind svc);
// True when a fresh entry could answer: a check from any entry, a lookup
// from one a lookup stored. Only then is the listener worth reading.
bool cache_could_answer(backend *b, service_kind svc, const char *key, bool lookup);
// Answers from a fresh entry when `fresh` (the listener said entries may
// answer), its value copied into buf for a lookup; CACHE_MISS otherwise.
// Counted as a hit or a miss, and *ticket (when given) set for the store
// that follows a miss.
cache_result cache_answer(backend *b, service_kind svc, const char *key, bool lookup, bool fresh,
                          char *buf, uint64_t size, cache_ticket *ticket);
// During an outage: as cache_answer, from an entry within its TTL plus
// cache_stale, whatever its epoch; warns once per outage.
cache_result cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                            uint64_t size);
// Keeps what the database said, with the formatted value of a lookup
// (null for a check), under the ticket cache_answer gave before the
// database was asked (null: the cache as it is now).
void cache_store(backend *b, service_kind svc, const char *key, bool found, const char *value,
                 const cache_ticket *ticket = nullptr);
// Applies one notification payload: "" or anything unknown flushes all,
// "SERVICE" that service, "SERVICE:KEY" one key; "source" and the flushes
// of all also move the source generation on.
void cache_apply(backend *b, const char *payload);
// The listener listens now: entries stored before serve only as stale
// fallbacks, and the source list may have changed unheard.
void cache_listening(backend *b);
// Moved on whenever the source list may have changed: fetch loads it again.
uint32_t cache_source_generation(const backend *b);
// Entries held.
uint64_t cache_count(const backend *b);
// Empties the cache (the backend's end).
void cache_free(backend *b);
